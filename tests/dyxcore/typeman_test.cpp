// The type manager: reading the type file, first type and most specific types of entries.
#include "dyxcore/typeman.h"

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "dyxcore/dyx.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/io.h"
#include "kxcore/tracecapture.h"
#include "support/testutil.h"

namespace {

using quarrytest::TraceCapture;

class TypeManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { m_repository = std::make_unique<DyxEntryRepository>("typeman", 32); }

  const DyxEntry& entry(const std::string& name) {
    DyxEntry* e = m_repository->createEntry(name, m_dir.path(), false);
    EXPECT_NE(e, nullptr);
    return *e;
  }
  std::string typeFile(const std::string& content) {
    const std::string path = m_dir / "type.ini";
    quarrytest::writeFile(path, content);
    return path;
  }
  static std::string types(const DyxTypeManager& manager, const DyxEntry& e) {
    std::vector<std::string> list{"stale"};
    manager.getTypes(e, list);
    std::string joined;
    for (const std::string& t : list) joined += (joined.empty() ? "" : ",") + t;
    return joined;
  }

  quarrytest::TempDir m_dir;
  std::unique_ptr<DyxEntryRepository> m_repository;
};

TEST_F(TypeManagerTest, FirstTypeAndMostSpecificTypes) {
  DyxTypeManager manager(
      typeFile("Image \"$Ext = jpg or $Ext = gif\"\n"
               "Image.Photo \"$Ext = jpg\"\n"
               "Image.Raw \"$Ext = jpg and $Name like raw*\"\n"
               "Text \"$Ext = txt\"\n"
               "Doc \"$Ext = txt or $Ext = doc\"\n"
               "Doc.Letter \"$Name like letter*\"\n"));
  struct Case {
    const char* name;
    const char* type;
    const char* types;
  };
  const Case cases[] = {
      {"a.jpg", "Image", "Image.Photo"},
      {"raw1.jpg", "Image", "Image.Photo,Image.Raw"},
      {"a.gif", "Image", "Image"},
      {"a.txt", "Doc", "Doc,Text"},  // both top-level types, in name order
      {"letter.doc", "Doc", "Doc.Letter"},
      {"letter.bin", "<no-type>", ""},  // a sub-type is asked only when its parent matches
      {"a.bin", "<no-type>", ""},
  };
  for (const Case& c : cases) {
    const DyxEntry& e = entry(c.name);
    EXPECT_EQ(manager.getType(e), c.type) << c.name;
    EXPECT_EQ(types(manager, e), c.types) << c.name;
  }
}

TEST_F(TypeManagerTest, FileOrderRules) {
  struct Case {
    const char* file;
    const char* name;
    const char* type;
    const char* types;
  };
  const Case cases[] = {
      // A parent line after its sub-types replaces the default parent and drops them.
      {"Image.Photo \"$Ext = jpg\"\nImage \"$Ext = jpg\"\n", "a.jpg", "Image", "Image"},
      // A sub-type without a parent line belongs to a parent that matches nothing.
      {"Video.Clip \"$Ext = mp4\"\n", "a.mp4", "<no-type>", ""},
      // A later line of the same name replaces the type.
      {"Text \"$Ext = txt\"\nText \"$Ext = md\"\n", "a.txt", "<no-type>", ""},
      // A criterion that does not parse gives the false constant.
      {"Broken \"my ext = txt\"\n", "a.txt", "<no-type>", ""},
      // An empty criterion accepts everything.
      {"All \"\"\n", "a.txt", "All", "All"},
      // Bare words are values too; no final line end is needed.
      {"Text $Ext=txt", "a.txt", "Text", "Text"},
  };
  for (const Case& c : cases) {
    DyxTypeManager manager(typeFile(c.file));
    const DyxEntry& e = entry(c.name);
    EXPECT_EQ(manager.getType(e), c.type) << c.file;
    EXPECT_EQ(types(manager, e), c.types) << c.file;
  }
  DyxTypeManager manager(typeFile("Video.Clip \"$Ext = mp4\"\n"));
  const DyxFileType& parent = manager.getTypeMap().at("Video");
  EXPECT_EQ(parent.getName(), "");
  EXPECT_TRUE(parent.getFilter().isUndefined());
  EXPECT_EQ(parent.getSubTypes().count("Video.Clip"), 1u);
}

TEST_F(TypeManagerTest, MessagesAndFailures) {
  {
    TraceCapture trace;
    DyxTypeManager manager(m_dir / "missing.ini");
    EXPECT_TRUE(trace.has("Cannot open file: " + (m_dir / "missing.ini")));
    EXPECT_TRUE(manager.getTypeMap().empty());
  }
  {
    TraceCapture trace;
    quarrytest::makeDirs(m_dir / "dir.ini");
    DyxTypeManager manager(m_dir / "dir.ini");
    EXPECT_TRUE(trace.has("Cannot open file: " + (m_dir / "dir.ini")));
  }
  {
    TraceCapture trace;
    DyxTypeManager manager;
    manager.reset();
    EXPECT_TRUE(trace.has("The file name is empty."));
  }
  {
    // A file that cannot be opened leaves no types; an empty name leaves the types alone.
    DyxTypeManager manager(typeFile("Text \"$Ext = txt\"\n"));
    EXPECT_EQ(manager.getTypeMap().size(), 1u);
    manager.reset(m_dir / "missing.ini");
    EXPECT_TRUE(manager.getTypeMap().empty());
    quarrytest::writeFile(m_dir / "missing.ini", "Doc \"$Ext = doc\"\n");
    manager.reset("");  // re-reads the file last given
    EXPECT_EQ(manager.getFile(), m_dir / "missing.ini");
    EXPECT_EQ(manager.getTypeMap().count("Doc"), 1u);
  }
  {
    TraceCapture trace;
    quarrytest::CwdGuard cwd(m_dir.path());
    ActivityLog::open("activity.log");
    DyxTypeManager manager(typeFile("Image \"$Ext = jpg\"\n"));
    ActivityLog::close();
    EXPECT_TRUE(trace.has("] New type: .Image filter=\"$Ext = jpg\""));
    EXPECT_EQ(quarrytest::readFile(m_dir / "activity.log"),
              "New type: .Image filter=\"$Ext = jpg\"\n");
  }
  {
    // An unterminated quote gives the type an empty criterion (it accepts every entry); the
    // rest of that line is not read as more types.
    TraceCapture trace;
    DyxTypeManager manager(typeFile("Loose \"$Ext = txt or $Name = x\nText \"$Ext = txt\"\n"));
    EXPECT_TRUE(trace.has("Missing ending quote in line: "));
    std::string names;
    for (const auto& [name, type] : manager.getTypeMap()) names += name + ";";
    EXPECT_EQ(names, "Loose;Text;");
    EXPECT_EQ(manager.getType(entry("a.bin")), "Loose");
  }
}

TEST_F(TypeManagerTest, TypeFiltersAskingForTypesDoNotRecurse) {
  DyxTypeManager manager(
      typeFile("Any \"$Type != zzz\"\n"
               "Self \"$Type = self\"\n"));
  const DyxEntry& e = entry("a.txt");
  // Dyx::getTypeManager() is the manager that $Type asks; point it at the same file.
  Dyx::getTypeManager().reset(m_dir / "type.ini");
  EXPECT_EQ(Dyx::getTypeManager().getType(e), "Any");
  EXPECT_EQ(types(Dyx::getTypeManager(), e), "Any");
  EXPECT_EQ(e.getType(), "Any");
  std::vector<std::string> list;
  e.getTypes(list);
  EXPECT_EQ(list, std::vector<std::string>{"Any"});
  EXPECT_EQ(e.getProperty(kPropType), "Any");
  Dyx::getTypeManager().clear();
  EXPECT_EQ(e.getType(), "<no-type>");
}

TEST(FileType, CopiesAreDeepAndAssignmentDropsSubTypes) {
  DyxFileType none;
  EXPECT_EQ(none.getName(), "");
  EXPECT_TRUE(none.getFilter().isUndefined());
  EXPECT_EQ(none.getFilter().toString(), "<undef>");

  DyxFileType image("Image", "$Ext = jpg or $Ext = gif");
  image.getSubTypes()["Image.Photo"] = DyxFileType("Image.Photo", "$Ext = jpg");
  DyxFileType copy(image);
  EXPECT_EQ(copy.getName(), "Image");
  EXPECT_NE(copy.getFilter().getRoot(), image.getFilter().getRoot());
  EXPECT_EQ(copy.getFilter().toString(), image.getFilter().toString());
  EXPECT_EQ(copy.getSubTypes().size(), 1u);

  DyxFileType target("Old", "$Ext = old");
  target.getSubTypes()["Old.Sub"] = DyxFileType("Old.Sub", "$Ext = sub");
  target = DyxFileType("New", "$Ext = new");
  EXPECT_EQ(target.getName(), "New");
  EXPECT_TRUE(target.getSubTypes().empty());
}

}  // namespace
