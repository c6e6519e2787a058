// Documents in, fax images out, and fax images out as PDF: what the
// tessaline command does with a file before it goes to the device and after
// a fax comes from it. The library itself sends a file unexamined and stores
// a download as the device sent it; all reading of documents is here.
//
// A build without the imaging libraries links documents_none.cpp instead of
// the converters: detection still names what a file is, and everything that
// would need a converter is refused with a message that says so.
#ifndef TESSALINE_TOOLS_DOCUMENTS_H
#define TESSALINE_TOOLS_DOCUMENTS_H

#include <functional>
#include <string>

#include "tools/documents/temp_file.h"

namespace doc {

// What a file holds, judged by its content alone (never by its name).
enum class Kind { Empty, FaxTiff, Tiff, Pdf, PostScript, Text, Png, Jpeg, Unknown };

struct Detected {
    Kind kind = Kind::Unknown;
    std::string description;  // "a PDF document", "a ZIP archive", ...
};

// Reads the start of the file. False, with the reason, when it can't be read.
// A TIFF is reported as Kind::Tiff here; whether it already is a fax image
// takes a TIFF reader (libtiff's IsFaxImage, or the platform's through
// ReadTiffPages), judged by the one rule of fax_page.h.
bool Detect(const std::string& path, Detected& out, std::string& error);

// The kinds of file the command takes, for messages and help.
const char* AcceptedKinds();

enum class Resolution { Fine, Normal };  // 204 x 196 and 204 x 98 dpi
enum class Paper { A4, Letter };

struct FaxOptions {
    Resolution resolution = Resolution::Fine;
    bool resolution_given = false;  // a fax image of the other resolution is converted
    Paper paper = Paper::A4;
    // Told of each page the renderer starts, and of how many there are (0
    // when it does not say), for a person watching; none by default.
    std::function<void(int page, int pages)> on_page;
};

enum class Outcome {
    Ok,
    Refused,      // not a kind of file the command takes, or a damaged one
    Unreadable,   // the file can't be opened or read
    Unavailable,  // the converter is missing from this system or this build
    Failed,       // a file of the command's own could not be written
};

struct Prepared {
    std::string path;       // what to send: the file itself, or the converted image
    Detected detected;      // what the file was
    bool converted = false;
    int pages = 0;          // pages of the image sent
    TempFile temp;          // the converted image; removed with this record
};

// Makes `path` ready to send as a fax: a fax image as it is, anything the
// command takes converted into a temporary fax image (bilevel, CCITT G4,
// 1728 pixels wide). On anything but Outcome::Ok, `message` says what went
// wrong, naming the file.
Outcome PrepareForFax(const std::string& path, const FaxOptions& options, Prepared& out, std::string& message);

// Writes the fax image `tiff` as a PDF at `pdf`, one page per image page,
// each at the page's own resolution. `pages` receives their number.
Outcome FaxToPdf(const std::string& tiff, const std::string& pdf, int& pages, std::string& message);

// Whether this build can write PDFs; when not, `why` says so.
bool PdfAvailable(std::string& why);

// Checks a downloaded fax image: it opens, and every page of it decodes.
// `pages` receives their number. False, with the reason, otherwise.
bool VerifyFaxImage(const std::string& path, int& pages, std::string& message);

// The paper size of the user's locale, A4 when it tells none.
Paper DefaultPaper();

// What this build does with documents, for the command's help.
struct Abilities {
    bool converts = false;              // documents and other images into fax images
    bool writes_pdf = false;            // fax images into PDF
    const char* tiff_reader = nullptr;  // what tells a fax image from another TIFF; none when null
};
Abilities BuildAbilities();

}  // namespace doc

#endif
