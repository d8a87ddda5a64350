#include "orvexa/platform/content_type.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>

#include "orvexa/platform/ascii_case.h"
#include "orvexa/platform/file_reader.h"

namespace orvexa {
namespace {

struct TypeInfo {
  std::string_view type;
  // The types it directly conforms to, in the order the chain lists them.
  std::array<std::string_view, 2> parents;
  std::string_view description;
};

// Every known type with its direct parents. contentTypeTree walks this
// depth-first, so the first parent's whole chain comes before the second.
constexpr TypeInfo kTypes[] = {
    // The roots.
    {"public.item", {}, "Item"},
    {"public.content", {}, "Content"},
    {"public.data", {"public.item"}, "Document"},
    {"public.directory", {"public.item"}, "Folder"},
    {"public.folder", {"public.directory"}, "Folder"},
    {"public.symlink", {"public.item"}, "Alias"},
    {"com.apple.package", {"public.directory"}, "Package"},
    {"com.apple.bundle", {"com.apple.package"}, "Bundle"},
    {"com.apple.application", {"com.apple.bundle"}, "Application"},
    {"com.apple.application-bundle", {"com.apple.application"}, "Application"},
    // Pictures.
    {"public.image", {"public.data", "public.content"}, "Image"},
    {"public.jpeg", {"public.image"}, "JPEG image"},
    {"public.png", {"public.image"}, "PNG image"},
    {"public.heif-standard", {"public.image"}, "HEIF image"},
    {"public.heic", {"public.heif-standard"}, "HEIF image"},
    {"com.compuserve.gif", {"public.image"}, "GIF image"},
    {"public.tiff", {"public.image"}, "TIFF image"},
    {"com.microsoft.bmp", {"public.image"}, "Windows BMP image"},
    {"org.webmproject.webp", {"public.image"}, "WebP image"},
    {"public.svg-image", {"public.image"}, "SVG image"},
    {"com.microsoft.ico", {"public.image"}, "Windows icon image"},
    {"com.apple.icns", {"public.image"}, "Apple icon image"},
    {"com.adobe.photoshop-image", {"public.image"}, "Adobe Photoshop file"},
    {"public.camera-raw-image", {"public.image"}, "Camera raw image"},
    // Movies and sound.
    {"public.audiovisual-content", {"public.data", "public.content"}, "Audiovisual content"},
    {"public.movie", {"public.audiovisual-content"}, "Movie"},
    {"public.mpeg-4", {"public.movie"}, "MPEG-4 movie"},
    {"com.apple.m4v-video", {"public.movie"}, "Apple MPEG-4 movie"},
    {"com.apple.quicktime-movie", {"public.movie"}, "QuickTime movie"},
    {"public.avi", {"public.movie"}, "AVI movie"},
    {"public.mpeg", {"public.movie"}, "MPEG movie"},
    {"org.matroska.mkv", {"public.movie"}, "Matroska video"},
    {"org.webmproject.webm", {"public.movie"}, "WebM video"},
    {"com.microsoft.windows-media-wmv", {"public.movie"}, "Windows Media video"},
    {"public.audio", {"public.audiovisual-content"}, "Audio"},
    {"public.mp3", {"public.audio"}, "MP3 audio"},
    {"public.mpeg-4-audio", {"public.audio"}, "Apple MPEG-4 audio"},
    {"com.microsoft.waveform-audio", {"public.audio"}, "Waveform audio"},
    {"public.aiff-audio", {"public.audio"}, "AIFF audio"},
    {"org.xiph.flac", {"public.audio"}, "FLAC audio"},
    {"public.aac-audio", {"public.audio"}, "AAC audio"},
    // Documents.
    {"public.composite-content", {"public.content"}, "Document"},
    {"com.adobe.pdf", {"public.data", "public.composite-content"}, "PDF document"},
    {"public.text", {"public.data", "public.content"}, "Text"},
    {"public.plain-text", {"public.text"}, "Plain text document"},
    {"public.rtf", {"public.text"}, "Rich Text Format"},
    {"public.html", {"public.text"}, "HTML document"},
    {"public.xml", {"public.text"}, "XML document"},
    {"public.json", {"public.text"}, "JSON document"},
    {"public.comma-separated-values-text", {"public.text"}, "Comma-separated values"},
    {"com.apple.log", {"public.plain-text"}, "Log file"},
    {"public.source-code", {"public.plain-text"}, "Source code"},
    {"public.shell-script", {"public.source-code"}, "Shell script"},
    {"com.apple.property-list", {"public.data"}, "Property list"},
    {"com.microsoft.word.doc",
     {"public.data", "public.composite-content"},
     "Microsoft Word 97 - 2004 document"},
    {"com.microsoft.excel.xls",
     {"public.data", "public.composite-content"},
     "Microsoft Excel 97 - 2004 workbook"},
    {"com.microsoft.powerpoint.ppt",
     {"public.data", "public.composite-content"},
     "Microsoft PowerPoint 97 - 2004 presentation"},
    {"org.openxmlformats.wordprocessingml.document",
     {"public.zip-archive", "public.composite-content"},
     "Microsoft Word document"},
    {"org.openxmlformats.spreadsheetml.sheet",
     {"public.zip-archive", "public.composite-content"},
     "Microsoft Excel workbook"},
    {"org.openxmlformats.presentationml.presentation",
     {"public.zip-archive", "public.composite-content"},
     "Microsoft PowerPoint presentation"},
    {"com.apple.iwork.pages.sffpages",
     {"public.data", "public.composite-content"},
     "Pages document"},
    {"com.apple.iwork.numbers.sffnumbers",
     {"public.data", "public.composite-content"},
     "Numbers spreadsheet"},
    {"com.apple.iwork.keynote.sffkey",
     {"public.data", "public.composite-content"},
     "Keynote presentation"},
    // Archives and disk images.
    {"public.archive", {"public.data"}, "Archive"},
    {"public.zip-archive", {"public.archive"}, "ZIP archive"},
    {"org.gnu.gnu-zip-archive", {"public.archive"}, "gzip compressed archive"},
    {"public.tar-archive", {"public.archive"}, "tar archive"},
    {"public.bzip2-archive", {"public.archive"}, "bzip2 compressed archive"},
    {"org.tukaani.xz-archive", {"public.archive"}, "XZ compressed archive"},
    {"org.7-zip.7-zip-archive", {"public.archive"}, "7-Zip archive"},
    {"com.rarlab.rar-archive", {"public.archive"}, "RAR archive"},
    {"public.disk-image", {"public.archive"}, "Disk image"},
    {"com.apple.disk-image-udif", {"public.disk-image"}, "Disk Image"},
    {"public.iso-image", {"public.disk-image"}, "ISO disk image"},
    {"com.apple.installer-package-archive", {"public.archive"}, "Installer package"},
    // Programs.
    {"public.executable", {"public.data"}, "Executable"},
    {"public.unix-executable", {"public.executable"}, "Unix executable"},
};

struct ExtensionType {
  std::string_view extension;  // lower case
  std::string_view type;
};

constexpr ExtensionType kExtensions[] = {
    {"jpg", "public.jpeg"},
    {"jpeg", "public.jpeg"},
    {"jpe", "public.jpeg"},
    {"png", "public.png"},
    {"heic", "public.heic"},
    {"heif", "public.heif-standard"},
    {"gif", "com.compuserve.gif"},
    {"tif", "public.tiff"},
    {"tiff", "public.tiff"},
    {"bmp", "com.microsoft.bmp"},
    {"webp", "org.webmproject.webp"},
    {"svg", "public.svg-image"},
    {"ico", "com.microsoft.ico"},
    {"icns", "com.apple.icns"},
    {"psd", "com.adobe.photoshop-image"},
    {"cr2", "public.camera-raw-image"},
    {"nef", "public.camera-raw-image"},
    {"dng", "public.camera-raw-image"},
    {"arw", "public.camera-raw-image"},
    {"mp4", "public.mpeg-4"},
    {"m4v", "com.apple.m4v-video"},
    {"mov", "com.apple.quicktime-movie"},
    {"qt", "com.apple.quicktime-movie"},
    {"avi", "public.avi"},
    {"mpg", "public.mpeg"},
    {"mpeg", "public.mpeg"},
    {"mkv", "org.matroska.mkv"},
    {"webm", "org.webmproject.webm"},
    {"wmv", "com.microsoft.windows-media-wmv"},
    {"mp3", "public.mp3"},
    {"m4a", "public.mpeg-4-audio"},
    {"wav", "com.microsoft.waveform-audio"},
    {"aif", "public.aiff-audio"},
    {"aiff", "public.aiff-audio"},
    {"flac", "org.xiph.flac"},
    {"aac", "public.aac-audio"},
    {"pdf", "com.adobe.pdf"},
    {"txt", "public.plain-text"},
    {"text", "public.plain-text"},
    {"rtf", "public.rtf"},
    {"html", "public.html"},
    {"htm", "public.html"},
    {"xml", "public.xml"},
    {"json", "public.json"},
    {"csv", "public.comma-separated-values-text"},
    {"log", "com.apple.log"},
    {"c", "public.source-code"},
    {"cc", "public.source-code"},
    {"cpp", "public.source-code"},
    {"h", "public.source-code"},
    {"m", "public.source-code"},
    {"swift", "public.source-code"},
    {"py", "public.source-code"},
    {"js", "public.source-code"},
    {"sh", "public.shell-script"},
    {"plist", "com.apple.property-list"},
    {"doc", "com.microsoft.word.doc"},
    {"docx", "org.openxmlformats.wordprocessingml.document"},
    {"xls", "com.microsoft.excel.xls"},
    {"xlsx", "org.openxmlformats.spreadsheetml.sheet"},
    {"ppt", "com.microsoft.powerpoint.ppt"},
    {"pptx", "org.openxmlformats.presentationml.presentation"},
    {"pages", "com.apple.iwork.pages.sffpages"},
    {"numbers", "com.apple.iwork.numbers.sffnumbers"},
    {"key", "com.apple.iwork.keynote.sffkey"},
    {"zip", "public.zip-archive"},
    {"gz", "org.gnu.gnu-zip-archive"},
    {"gzip", "org.gnu.gnu-zip-archive"},
    {"tgz", "org.gnu.gnu-zip-archive"},
    {"tar", "public.tar-archive"},
    {"bz2", "public.bzip2-archive"},
    {"xz", "org.tukaani.xz-archive"},
    {"7z", "org.7-zip.7-zip-archive"},
    {"rar", "com.rarlab.rar-archive"},
    {"dmg", "com.apple.disk-image-udif"},
    {"iso", "public.iso-image"},
    {"pkg", "com.apple.installer-package-archive"},
};

// Folders with these extensions are bundles (lower case).
constexpr std::string_view kBundleExtensions[] = {
    "app",        "appex",        "bundle",        "component",
    "driver",     "framework",    "imovielibrary", "kext",
    "mdimporter", "photolibrary", "photoslibrary", "plugin",
    "prefpane",   "qlgenerator",  "saver",         "systemextension",
    "vst",        "vst3",         "wdgt",          "xpc",
    "download",   "rtfd",         "pages",         "numbers",
    "key",        "fcpbundle",    "musiclibrary",  "tvlibrary",
    "band",       "logicx",
};

struct Signature {
  std::string_view magic;
  std::string_view type;
};

using namespace std::string_view_literals;

// Magic numbers hold NUL bytes, hence the sized literals.
constexpr Signature kSignatures[] = {
    {"\xFF\xD8\xFF"sv, "public.jpeg"},
    {"\x89PNG\r\n\x1A\n"sv, "public.png"},
    {"GIF87a"sv, "com.compuserve.gif"},
    {"GIF89a"sv, "com.compuserve.gif"},
    {"II*\0"sv, "public.tiff"},
    {"MM\0*"sv, "public.tiff"},
    {"%PDF"sv, "com.adobe.pdf"},
    {"PK\x03\x04"sv, "public.zip-archive"},
    {"\x1F\x8B"sv, "org.gnu.gnu-zip-archive"},
    {"bplist00"sv, "com.apple.property-list"},
};

const TypeInfo* findType(std::string_view type) {
  for (const TypeInfo& info : kTypes) {
    if (info.type == type) return &info;
  }
  return nullptr;
}

std::string_view typeForExtension(std::string_view extension) {
  const std::string lower = asciiLower(extension);
  for (const ExtensionType& entry : kExtensions) {
    if (entry.extension == lower) return entry.type;
  }
  return {};
}

void appendTree(std::string_view type, std::vector<std::string>* out) {
  if (std::find(out->begin(), out->end(), type) != out->end()) return;
  out->emplace_back(type);
  const TypeInfo* info = findType(type);
  if (info == nullptr) {
    appendTree("public.data", out);
    return;
  }
  for (std::string_view parent : info->parents) {
    if (!parent.empty()) appendTree(parent, out);
  }
}

std::string_view lastComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string_view pathExtension(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return {};
  return name.substr(dot + 1);
}

bool isBundleExtension(std::string_view extension) {
  if (extension.empty()) return false;
  const std::string lower = asciiLower(extension);
  for (std::string_view known : kBundleExtensions) {
    if (known == lower) return true;
  }
  return false;
}

std::string contentTypeOfBytes(std::string_view firstBytes) {
  for (const Signature& signature : kSignatures) {
    if (firstBytes.substr(0, signature.magic.size()) == signature.magic) {
      return std::string(signature.type);
    }
  }
  return {};
}

std::string contentTypeForName(std::string_view name, bool isDirectory, bool isSymbolicLink,
                               std::string_view firstBytes) {
  if (isSymbolicLink) return "public.symlink";
  std::string_view extension = pathExtension(name);
  if (isDirectory) {
    if (!isBundleExtension(extension)) return "public.folder";
    return asciiLower(extension) == "app" ? "com.apple.application-bundle" : "com.apple.package";
  }
  if (extension.empty()) {
    std::string sniffed = contentTypeOfBytes(firstBytes);
    return sniffed.empty() ? "public.data" : sniffed;
  }
  std::string_view type = typeForExtension(extension);
  return type.empty() ? "public.data" : std::string(type);
}

std::string contentTypeOf(const std::string& path) {
  std::string_view name = lastComponent(path);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return contentTypeForName(name, false, false);
  if (S_ISLNK(st.st_mode)) return contentTypeForName(name, false, true);
  if (S_ISDIR(st.st_mode)) return contentTypeForName(name, true, false);
  if (!S_ISREG(st.st_mode)) return "public.item";
  char buffer[kContentSniffLength];
  size_t length = 0;
  if (pathExtension(name).empty()) {
    RegularFile file = RegularFile::open(path, kNoSizeLimit, Links::kRefuse);
    ssize_t n = file.ok() ? file.read(buffer, sizeof buffer) : -1;
    length = n > 0 ? static_cast<size_t>(n) : 0;
  }
  return contentTypeForName(name, false, false, std::string_view(buffer, length));
}

std::vector<std::string> contentTypeTree(std::string_view contentType) {
  std::vector<std::string> tree;
  if (contentType.empty()) return tree;
  appendTree(contentType, &tree);
  return tree;
}

std::vector<std::string> contentTypeTreeOf(const std::string& path) {
  return contentTypeTree(contentTypeOf(path));
}

std::string localizedTypeDescription(std::string_view contentType) {
  const TypeInfo* info = findType(contentType);
  return info != nullptr ? std::string(info->description) : "Document";
}

}  // namespace orvexa
