#include "dyxcore/view.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "dyxcore/dyx.h"
#include "dyxcore/path.h"
#include "dyxcore/viewman.h"
#include "dyxcore/xentry.h"

namespace {

TEST(ViewKind, FromIntAndLetter) {
  struct IntCase {
    int in;
    int value;
    const char* letter;
    bool valid, fileBacked, physical;
  } ints[] = {
      {-1, 0, "<unknown>", false, false, false},
      {0, 0, "<unknown>", false, false, false},
      {1, 1, "P", true, false, true},
      {2, 2, "U", true, true, false},
      {3, 3, "F", true, true, false},
      {4, 0, "<unknown>", false, false, false},
  };
  for (const IntCase& c : ints) {
    const DyxViewKind k(c.in);
    EXPECT_EQ(k.value(), c.value) << c.in;
    EXPECT_STREQ(k.kindLetter(), c.letter) << c.in;
    EXPECT_EQ(k.isValid(), c.valid) << c.in;
    EXPECT_EQ(k.isFileBacked(), c.fileBacked) << c.in;
    EXPECT_EQ(k.isPhysical(), c.physical) << c.in;
  }
  struct LetterCase {
    const char* text;
    int value;
  } letters[] = {{"P", 1}, {"U", 2},  {"F", 3},  {"u", 0},        {"f", 0},
                 {"", 0},  {"PU", 0}, {"F ", 0}, {"<unknown>", 0}};
  for (const LetterCase& c : letters) {
    EXPECT_EQ(DyxViewKind::fromLetter(c.text).value(), c.value) << '"' << c.text << '"';
  }
}

class PlainView : public DyxView {
 public:
  PlainView() : DyxView("plain") {}
};

TEST(View, BaseSlotsAndDumpLine) {
  PlainView view;
  EXPECT_TRUE(view.isRoot());
  EXPECT_EQ(view.getName(), "");
  EXPECT_EQ(view.getViewName(), "plain");
  EXPECT_FALSE(view.getKind().isValid());
  EXPECT_TRUE(view.mapEntry(nullptr, nullptr));
  std::vector<DyxPath> paths{DyxPath("x")};
  EXPECT_FALSE(view.getFoldersForEntry(nullptr, paths));
  EXPECT_TRUE(paths.empty());
  EXPECT_TRUE(view.getFolderForEntry(nullptr).isEmpty());

  std::ostringstream out;
  view.markModified();
  view.dump(out);
  view.save();
  view.dump(out);
  EXPECT_EQ(out.str(),
            "name: \"plain\", kind: <unknown>, rt: true, mod: true\n"
            "name: \"plain\", kind: <unknown>, rt: true, mod: false\n");
}

TEST(View, DestroyingAViewEmptiesTheIndexOfItsTree) {
  DyxViewManager& manager = Dyx::getViewManager();
  DyxEntry entries[3];
  {
    PlainView view;
    view.addEntry(&entries[0], nullptr);
    view.createFolderPath(DyxPath("a/b"))->addEntry(&entries[1], nullptr);
    view.createFolderPath(DyxPath("a"))->addEntry(&entries[2], nullptr);
    EXPECT_EQ(manager.getIndex().entryCount(), 3u);
  }
  EXPECT_EQ(manager.getIndex().entryCount(), 0u);
}

}  // namespace
