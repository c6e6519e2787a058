// HELPDIR32: the help directory that the platform's type-library
// registration records for a library with none of its own, the folder of the
// module, without the closing backslash that the installer's folder
// properties carry.
function SetHelpDirs() {
    var folder = Session.Property("INSTALLDIR32");
    if (folder) Session.Property("HELPDIR32") = folder.replace(/\\$/, "");
    return 1;
}
