// Reports over a disk analysis tree (see disk_analysis_service.h): the
// largest folders and files, the tree as JSON, and a self-contained treemap
// page. Each is one pass with an explicit stack, so trees of any depth and
// size work; JSON and the page are written in chunks to a sink, never built
// in memory as a whole.
//
// Thread-safety: the functions only read the tree; they must not run while
// another thread changes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "orvexa/model/records.h"
#include "orvexa/units/json_text.h"

namespace orvexa {

struct DiskTreeSummary {
  int64_t size = 0;                     // the root's
  size_t fileCount = 0;                 // records below the root that are not folders
  size_t folderCount = 0;               // folder records below the root
  std::vector<FilePtr> largestFolders;  // largest first; the root not included
  std::vector<FilePtr> largestFiles;    // largest first
  // Folders the walk could not open or list (their scanErrorDesc says why),
  // in walk order; their content is missing from every size above them.
  std::vector<FilePtr> unreadFolders;
};

// Counts the tree below `root` and picks its `top` largest folders and files
// (all of them for 0). Equal sizes are ordered by path.
DiskTreeSummary summarizeDiskTree(const FilePtr& root, size_t top);

struct DiskTreeJsonLimits {
  // Levels below the root that are written (0: all). Records on the last
  // written level get empty "childrens".
  size_t maxDepth = 0;
  // Children written per record, the largest ones (0: all).
  size_t maxChildren = 0;
};

// Writes {"feature": {...}, "total": N} for the feature: its categories with
// their record trees, in the field names of the result records. Children are
// written largest first (equal sizes in finderID order). A record some of
// whose children were left out by the limits also gets "omittedChildren"
// (their number) and "omittedSize" (their bytes); a folder that could not be
// read, "scanErrorDesc". Text is valid JSON even for
// names that are not valid UTF-8 (bad bytes become U+FFFD). Written compact,
// without indentation (an indented tree thousands of levels deep would be
// mostly blanks); sub-categories (childrenCateogry) are not written.
void writeDiskTreeJson(const FeatureInformation& feature, int64_t total,
                       const DiskTreeJsonLimits& limits, const TextSink& sink);

// What the treemap colours an item by.
enum class DiskItemKind { folder, image, video, audio, archive, document, other };
// From the record's kind and, for files, the content type its name implies
// (content_type.h): public.image, public.movie, public.audio, documents
// (public.composite-content and public.text), public.archive, else other.
DiskItemKind diskItemKindOf(const FileInformation& record);
const char* diskItemKindName(DiskItemKind kind);  // "folder", "image", ...

struct DiskTreemapOptions {
  // Items smaller than this share of the root are merged, per folder, into
  // one "other" item ("N smaller items").
  double minShare = 0.001;
  // At most this many items are embedded; beyond it, further items are
  // merged the same way.
  size_t maxItems = 20000;
};

// Writes one HTML page with no outside references (inline style and script)
// that draws the tree as a zoomable treemap: rectangles coloured by
// DiskItemKind, sizes on hover, click on a folder to zoom in, the path bar or
// Escape to zoom out.
void writeDiskTreemapPage(const FilePtr& root, const DiskTreemapOptions& options,
                          const TextSink& sink);

}  // namespace orvexa
