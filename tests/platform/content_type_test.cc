#include "orvexa/platform/content_type.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::TempDir;
using Tree = std::vector<std::string>;

TEST(ContentTypeTest, TypesByName) {
  struct Case {
    std::string name;
    bool isDirectory;
    std::string type;
  };
  const Case cases[] = {
      {"photo.jpg", false, "public.jpeg"},
      {"PHOTO.JPEG", false, "public.jpeg"},
      {"IMG_0001.HEIC", false, "public.heic"},
      {"clip.mp4", false, "public.mpeg-4"},
      {"clip.MOV", false, "com.apple.quicktime-movie"},
      {"song.mp3", false, "public.mp3"},
      {"paper.pdf", false, "com.adobe.pdf"},
      {"letter.docx", false, "org.openxmlformats.wordprocessingml.document"},
      {"notes.txt", false, "public.plain-text"},
      {"bundle.zip", false, "public.zip-archive"},
      {"logs.gz", false, "org.gnu.gnu-zip-archive"},
      {"Installer.dmg", false, "com.apple.disk-image-udif"},
      {"prefs.plist", false, "com.apple.property-list"},
      {"archive.tar.gz", false, "org.gnu.gnu-zip-archive"},
      {"unknown.xyz", false, "public.data"},
      {"no-extension", false, "public.data"},
      {".profile", false, "public.data"},
      {"Safari.app", true, "com.apple.application-bundle"},
      {"Safari.APP", true, "com.apple.application-bundle"},
      {"Sparkle.framework", true, "com.apple.package"},
      {"Library.photoslibrary", true, "com.apple.package"},
      {"Folder", true, "public.folder"},
      {"folder.jpg", true, "public.folder"},  // folders are never typed by extension
      {"Safari.app", false, "public.data"},   // nor files by a bundle extension
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + (c.isDirectory ? "/" : ""));
    EXPECT_EQ(contentTypeForName(c.name, c.isDirectory, false), c.type);
  }
  EXPECT_EQ(contentTypeForName("link.jpg", false, true), "public.symlink");
}

TEST(ContentTypeTest, SniffsFilesWithoutExtension) {
  struct Case {
    std::string name;
    std::string bytes;
    std::string type;
  };
  const Case cases[] = {
      {"jpeg", std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF", 10), "public.jpeg"},
      {"png", std::string("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR", 16), "public.png"},
      {"tiff", std::string("II*\0\x08\0\0\0", 8), "public.tiff"},
      {"pdf", "%PDF-1.7\n", "com.adobe.pdf"},
      {"zip", std::string("PK\x03\x04\x14\0", 6), "public.zip-archive"},
      {"gzip", std::string("\x1F\x8B\x08\0", 4), "org.gnu.gnu-zip-archive"},
      {"bplist", "bplist00\xD1\x01", "com.apple.property-list"},
      {"text", "just some words", "public.data"},
      {"empty", "", "public.data"},
      {"short", "\xFF", "public.data"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(contentTypeOfBytes(c.bytes), c.type == "public.data" ? "" : c.type);
    EXPECT_EQ(contentTypeOf(dir.writeFile(c.name, c.bytes)), c.type);
  }
  // An extension wins over the content.
  EXPECT_EQ(contentTypeOf(dir.writeFile("photo.txt", "\xFF\xD8\xFF\xE0")), "public.plain-text");
}

TEST(ContentTypeTest, TypesOfItemsOnDisk) {
  TempDir dir;
  dir.makeDir("Tool.app/Contents");
  dir.makeDir("Plain");
  dir.writeFile("a.pdf", "%PDF");
  ASSERT_EQ(::symlink((dir / "Tool.app").c_str(), (dir / "link.app").c_str()), 0);
  EXPECT_EQ(contentTypeOf(dir / "Tool.app"), "com.apple.application-bundle");
  EXPECT_EQ(contentTypeOf(dir / "Tool.app/"), "com.apple.application-bundle");
  EXPECT_EQ(contentTypeOf(dir / "Plain"), "public.folder");
  EXPECT_EQ(contentTypeOf(dir / "a.pdf"), "com.adobe.pdf");
  EXPECT_EQ(contentTypeOf(dir / "link.app"), "public.symlink");
  EXPECT_EQ(contentTypeOf(dir / "missing.png"), "public.png");
  EXPECT_EQ(contentTypeTreeOf(dir / "Plain"),
            (Tree{"public.folder", "public.directory", "public.item"}));
}

TEST(ContentTypeTest, TreesListConformanceNearestFirst) {
  struct Case {
    std::string type;
    Tree tree;
  };
  const Case cases[] = {
      {"public.jpeg",
       {"public.jpeg", "public.image", "public.data", "public.item", "public.content"}},
      {"public.heic",
       {"public.heic", "public.heif-standard", "public.image", "public.data", "public.item",
        "public.content"}},
      {"public.mpeg-4",
       {"public.mpeg-4", "public.movie", "public.audiovisual-content", "public.data", "public.item",
        "public.content"}},
      {"com.adobe.pdf",
       {"com.adobe.pdf", "public.data", "public.item", "public.composite-content",
        "public.content"}},
      {"public.plain-text",
       {"public.plain-text", "public.text", "public.data", "public.item", "public.content"}},
      {"org.openxmlformats.wordprocessingml.document",
       {"org.openxmlformats.wordprocessingml.document", "public.zip-archive", "public.archive",
        "public.data", "public.item", "public.composite-content", "public.content"}},
      {"public.folder", {"public.folder", "public.directory", "public.item"}},
      {"com.apple.application-bundle",
       {"com.apple.application-bundle", "com.apple.application", "com.apple.bundle",
        "com.apple.package", "public.directory", "public.item"}},
      {"com.apple.package", {"com.apple.package", "public.directory", "public.item"}},
      {"public.symlink", {"public.symlink", "public.item"}},
      {"dyn.unknown", {"dyn.unknown", "public.data", "public.item"}},
      {"", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(contentTypeTree(c.type), c.tree);
  }
}

TEST(ContentTypeTest, Descriptions) {
  struct Case {
    std::string type;
    std::string description;
  };
  const Case cases[] = {
      {"public.jpeg", "JPEG image"},     {"com.apple.application-bundle", "Application"},
      {"com.adobe.pdf", "PDF document"}, {"public.plain-text", "Plain text document"},
      {"public.data", "Document"},       {"dyn.unknown", "Document"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(localizedTypeDescription(c.type), c.description);
  }
}

TEST(ContentTypeTest, ExtensionsAndBundleExtensions) {
  struct Case {
    std::string name;
    std::string extension;
    bool bundle;
  };
  const Case cases[] = {
      {"a.b.c", "c", false},
      {".profile", "", false},
      {".hidden.txt", "txt", false},
      {"trailing.", "", false},
      {"noext", "", false},
      {"Tool.APP", "APP", true},
      {"Kit.Framework", "Framework", true},
      {"Lib.photoslibrary", "photoslibrary", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(pathExtension(c.name), c.extension);
    EXPECT_EQ(isBundleExtension(pathExtension(c.name)), c.bundle);
  }
}

}  // namespace
}  // namespace orvexa
