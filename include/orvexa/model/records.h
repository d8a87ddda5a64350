// The result tree: a module owns features, a feature owns categories, a
// category owns file records, and a file record may own child records.
//
// Ownership: every downward link is a std::shared_ptr (records are shared
// by reference between scanner, host and cleaner and changed in place);
// every upward link (featureInfo, moduleInfo, parentCategoryInfo,
// parentFileInfo, parentCategory) is a std::weak_ptr (parentCategoryInfo a
// CategoryLink, which holds one), so dropping the module frees the whole
// tree.
//
// Thread-safety: records are plain data with no locking. A scanner builds
// them on its own threads and merges them on its serial queue; once handed
// to the host they belong to the host's thread.
#pragma once

#include "orvexa/model/category_information.h"
#include "orvexa/model/feature_information.h"
#include "orvexa/model/file_information.h"
#include "orvexa/model/module_information.h"
#include "orvexa/model/scan_files_information.h"
