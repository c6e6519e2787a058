// The help of send, receive and get, from what the build can do.
#include "tools/help_text.h"

namespace cli {

std::string SendHelp(const HelpFacts& f) {
    std::string text = "Sends FILE as a fax to each NUMBER. ";
    if (f.converts) {
        text +=
            "A fax image (a TIFF: bilevel, CCITT G3 or G4, 1728 pixels wide,\n"
            "204 x 196 or 204 x 98 dpi) is sent as it is, byte for byte. PDF, PostScript, plain text, PNG, JPEG\n"
            "and other TIFF images are converted into one first (PDF, PostScript and text by Ghostscript, the\n"
            "program gs): bilevel, CCITT G4, 1728 pixels wide, in a temporary file removed afterwards. Any other\n"
            "file is refused before the device is touched (exit status 65), naming what it is.\n"
            "  --resolution=fine|normal  204 x 196 dpi (fine, the default) or 204 x 98 dpi; a fax image of the\n"
            "                            other resolution is converted when it is given\n"
            "  --paper=a4|letter         the page of a conversion (default: PAPERSIZE, else the locale's\n"
            "                            LC_PAPER, else A4)\n";
    } else if (f.tiff_reader) {
        text += std::string(
                    "A fax image (a TIFF, every page bilevel, CCITT G3 or G4, 1728\n"
                    "pixels wide, 204 x 196 or 204 x 98 dpi, as ") +
                f.tiff_reader +
                " reads it) is sent as it stands, byte for byte,\n"
                "its pages counted. This build converts nothing: another TIFF and a document (PDF, PostScript,\n"
                "text, PNG, JPEG) are refused with exit status 69, a TIFF that cannot be read and anything else\n"
                "with 65, before the device is touched, naming what the file is.\n"
                "  --resolution=fine|normal  send a fax image only when it is of this resolution; one of the\n"
                "                            other needs a conversion (exit status 69)\n"
                "  --paper=a4|letter         taken, without effect: it is the page of a conversion\n";
    } else {
        text +=
            "This build reads no TIFF and converts nothing: a TIFF is sent as it\n"
            "stands, byte for byte, for the device to judge (its pages are not counted); a document (PDF,\n"
            "PostScript, text, PNG, JPEG) is refused with exit status 69, anything else with 65, before the\n"
            "device is touched, naming what the file is.\n"
            "  --resolution=fine|normal  needs a conversion (exit status 69) for a TIFF\n"
            "  --paper=a4|letter         taken, without effect: it is the page of a conversion\n";
    }
    text +=
        "  --raw                     send FILE unexamined, whatever it holds\n"
        "  --prefix=P                the dialling prefix of every recipient\n"
        "FILE must be a readable regular file, and each NUMBER (and P) holds what a dialler takes: digits,\n"
        "spaces, + - . ( ) * #, the pause , and the dial letters P T W. Both are checked before the device\n"
        "is asked (a NUMBER that names a file is pointed out). FILE - reads the document from standard input.\n"
        "The summary (and --json: pages, recipients, kind, converted) says how many pages went to\n"
        "how many recipients.";
    if (f.converts)
        text +=
            " TESSALINE_GHOSTSCRIPT names another Ghostscript program. On a terminal the page\n"
            "being converted, and an upload's time and size, are shown on standard error, cleared at the end.";
    else
        text += " On a terminal an upload's time and size are shown on standard error, cleared at\n"
                "the end.";
    return text;
}

std::string ReceiveHelp(const HelpFacts& f) {
    std::string text = std::string(
                           "Receives unattended: stores each fax on the device that is not yet in DIR, then waits "
                           "for fax\nevents and does the same for each new one, until ") +
                       f.stop_request +
                       " (exit status 0). Each fax is\n"
                       "downloaded to a hidden file in DIR and put in place whole under its device name (a file "
                       "of that\nname is never replaced), and one line is printed for it (with --json, one JSON "
                       "object). DIR is\nchecked first (exit status 66).\n";
    text += f.writes_pdf ? "  --pdf          store a PDF of each fax beside it (NAME.pdf)\n"
                         : "  --pdf          refused (exit status 69): this build writes no PDF\n";
    text += std::string("  --remove       remove each fax from the device once it is stored and reads as ") +
            (f.converts ? "a fax image" : "a TIFF") + "\n";
    text += std::string("  --exec=CMD     run CMD ") + f.hook_runs +
            " and in the environment\n"
            "                 TESSALINE_FAX_NAME, TESSALINE_FAX_PATH, " +
            (f.writes_pdf ? "TESSALINE_FAX_PDF, " : "") +
            "and from its log entry\n"
            "                 TESSALINE_FAX_TIME, TESSALINE_FAX_PAGES, TESSALINE_FAX_SENDER,\n"
            "                 TESSALINE_FAX_DURATION, TESSALINE_FAX_STATUS, TESSALINE_FAX_TYPE; its output goes\n"
            "                 to standard error\n";
    return text;
}

std::string GetHelp(const HelpFacts& f) {
    std::string text =
        "Downloads the received fax NAME into PATH (default: NAME in the current directory). A regular file\n"
        "(also one reached through symbolic links, which stay) is replaced only once the whole fax has arrived\n"
        "and been written; a FIFO or a device is written as it is. PATH's directory is checked first. ";
    text += f.writes_pdf ? "With\n"
                           "--pdf, or a PATH ending in .pdf, the fax is stored as a PDF, one page per page of the "
                           "fax (default\nPATH: NAME with .pdf). -o - writes the fax (or, with --pdf, the PDF) to "
                           "standard output.\n"
                         : "--pdf,\n"
                           "and a PATH ending in .pdf, are refused (exit status 69): this build writes no PDF. -o - "
                           "writes the\nfax to standard output.\n";
    text +=
        "Several NAMEs, or --all (every fax the device lists), are stored each under its name in DIR (-d,\n"
        "default the current directory), one line each (--json: one object, faxes), the exit status that of\n"
        "the first that failed. --no-clobber keeps a file that is there: exit status 73, naming it.";
    return text;
}

std::string ConversionEnvironmentHelp(const HelpFacts& f) {
    if (!f.converts) return {};
    return "  TESSALINE_GHOSTSCRIPT  the Ghostscript program that renders documents (default gs)\n"
           "  PAPERSIZE              a4 or letter, the page of a conversion (default: the locale's)\n";
}

}  // namespace cli
