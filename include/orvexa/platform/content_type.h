// The metadata substitute for an item's content type ("kMDItemContentType")
// and its conformance chain ("kMDItemContentTypeTree"), with the English
// type descriptions the file manager shows.
//
// Types come from a fixed table keyed by file-name extension (compared
// without regard to case). A regular file without an extension is identified
// from its first bytes (JPEG, PNG, GIF, TIFF, PDF, ZIP, gzip, binary property
// list). Folders are "public.folder", bundle folders (see isBundleExtension)
// "com.apple.application-bundle" for ".app" and "com.apple.package"
// otherwise, symbolic links "public.symlink", anything else unknown
// "public.data".
//
// Thread-safety: everything here is safe for concurrent use.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvexa {

// The extension of a file name without its dot ("photo.JPG" -> "JPG"); empty
// when there is none. A leading dot alone does not start an extension
// (".profile" has none).
std::string_view pathExtension(std::string_view name);

// True for the extensions of folders the system shows as one item (bundles
// and packages: "app", "bundle", "framework", "plugin", "kext", ...).
bool isBundleExtension(std::string_view extension);

// The type of the item at `path`, looked at without following a final
// symbolic link. A path that names nothing is typed from its name alone.
std::string contentTypeOf(const std::string& path);

// The type from a name and what the caller already knows of the item.
// `firstBytes` (may be empty) is consulted for regular files without an
// extension.
std::string contentTypeForName(std::string_view name, bool isDirectory, bool isSymbolicLink,
                               std::string_view firstBytes = {});

// The type a file's first bytes announce, or empty when none is recognised.
// 16 bytes are enough for every signature known here.
std::string contentTypeOfBytes(std::string_view firstBytes);
inline constexpr size_t kContentSniffLength = 16;

// The type followed by every type it conforms to, nearest first:
// "public.jpeg" gives public.jpeg, public.image, public.data, public.item,
// public.content. An unknown type gives itself, public.data, public.item.
std::vector<std::string> contentTypeTree(std::string_view contentType);
std::vector<std::string> contentTypeTreeOf(const std::string& path);

// "JPEG image", "Folder", "Application", "PDF document", ...; "Document"
// for a type without a description of its own.
std::string localizedTypeDescription(std::string_view contentType);

}  // namespace orvexa
