#include "orvexa/platform/content_type.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::TempDir;
using Tree = std::vector<std::string>;

TEST(ContentTypeTest, TypesByName) {
  const std::tuple<std::string, bool, std::string> cases[] = {
      {"clip.MOV", false, "com.apple.quicktime-movie"},
      {"archive.tar.gz", false, "org.gnu.gnu-zip-archive"},
      {"Kit.Framework", true, "com.apple.package"},
      {"trailing.", false, "public.data"},
      {"folder.jpg", true, "public.folder"},  // folders are never typed by extension
      {"Safari.app", false, "public.data"},   // nor files by a bundle extension
  };
  for (const auto& [name, isDirectory, type] : cases)
    EXPECT_EQ(contentTypeForName(name, isDirectory, false), type) << name << isDirectory;
  EXPECT_EQ(contentTypeForName("link.jpg", false, true), "public.symlink");
}

TEST(ContentTypeTest, SniffsFilesWithoutExtensionAndTypesItemsOnDisk) {
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"jpeg", std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF", 10), "public.jpeg"},
      {"text", "just some words", "public.data"},
      {"short", "\xFF", "public.data"},
  };
  TempDir dir;
  for (const auto& [name, bytes, type] : cases) {
    EXPECT_EQ(contentTypeOfBytes(bytes), type == "public.data" ? "" : type) << name;
    EXPECT_EQ(contentTypeOf(dir.writeFile(name, bytes)), type);
  }
  // An extension wins over the content; a missing item is typed by its name.
  // Folders and bundles on disk: file_manager_test's resource values.
  EXPECT_EQ(contentTypeOf(dir.writeFile("photo.txt", "\xFF\xD8\xFF\xE0")), "public.plain-text");
  ASSERT_EQ(::symlink(dir.path().c_str(), (dir / "link.app").c_str()), 0);  // never followed
  EXPECT_EQ(contentTypeOf(dir / "missing.png") + " " + contentTypeOf(dir / "link.app"),
            "public.png public.symlink");
  EXPECT_EQ(contentTypeTreeOf(dir.path()),
            (Tree{"public.folder", "public.directory", "public.item"}));
  // Unknown types conform to data.
  EXPECT_EQ(contentTypeTree("dyn.unknown"), (Tree{"dyn.unknown", "public.data", "public.item"}));
}

}  // namespace
}  // namespace orvexa
