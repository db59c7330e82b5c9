// The window's display model without a window: the worker's updates are written here by hand,
// in the orders a parse, a view switch and a stop produce them. Both item models are watched by
// QAbstractItemModelTester throughout, so an insertion or removal they are told of wrongly fails.
#include "displaymodel.h"

#include <QAbstractItemModelTester>
#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>
#include <map>
#include <memory>

#include "foldertreemodel.h"
#include "typedpath.h"

namespace {

using Kind = DelveUpdate::Kind;

DelveUpdate update(Kind kind, std::uint64_t generation) {
  DelveUpdate u;
  u.kind = kind;
  u.generation = generation;
  return u;
}
DelveUpdate clearTo(std::uint64_t generation) { return update(Kind::kClear, generation); }
DelveUpdate state(bool parsing) {
  DelveUpdate u = update(Kind::kState, 0);
  u.parsing = parsing;
  return u;
}
DelveUpdate folder(std::uint64_t generation, std::uint64_t id, std::int64_t parent,
                   const std::string& name) {
  DelveUpdate u = update(Kind::kFolder, generation);
  u.folderId = id;
  u.parentId = parent;
  u.text = name;
  return u;
}
DelveUpdate row(std::uint64_t generation, std::uint64_t folderId, const std::string& name,
                std::uint64_t size = 0) {
  DelveUpdate u = update(Kind::kRow, generation);
  u.folderId = folderId;
  u.row.name = name;
  u.row.location = "/t/" + name;
  u.row.size = size;
  return u;
}
// The rows of a parse, as the worker sends them: in chunks, with a location head shared by
// neighbours of one directory ("" for a location that is the name alone).
struct ChunkRow {
  std::uint64_t folderId;
  std::string head;
  std::string name;
};
DelveUpdate chunk(std::uint64_t generation, const std::vector<ChunkRow>& rows) {
  DelveUpdate u = update(Kind::kRows, generation);
  u.rows = std::make_shared<DelveRowChunk>();
  for (const ChunkRow& r : rows) {
    DelveRowChunk::Row row;
    row.folderId = r.folderId;
    row.headStart = static_cast<std::uint32_t>(u.rows->texts.size());
    row.headLength = static_cast<std::uint32_t>(r.head.size());
    u.rows->texts += r.head;
    row.nameStart = static_cast<std::uint32_t>(u.rows->texts.size());
    row.nameLength = static_cast<std::uint32_t>(r.name.size());
    u.rows->texts += r.name;
    row.size = r.name.size();
    u.rows->rows.push_back(row);
  }
  return u;
}
DelveUpdate directory(std::uint64_t generation, const std::string& text) {
  DelveUpdate u = update(Kind::kDirectory, generation);
  u.text = text;
  return u;
}
DelveUpdate problem(KxNoticeKind kind, std::uint64_t count, const std::string& text) {
  DelveUpdate u = update(Kind::kProblem, 0);
  u.notice = kind;
  u.folderId = count;
  u.text = text;
  return u;
}

QStringList labelsUnder(const DelveDisplayModel& model, const QModelIndex& parent) {
  QStringList labels;
  const FolderTreeModel* tree = model.treeModel();
  for (int i = 0; i < tree->rowCount(parent); ++i) {
    labels << tree->index(i, 0, parent).data().toString();
  }
  return labels;
}

QModelIndex rootIndex(const DelveDisplayModel& model) {
  return model.treeModel()->indexOf(DelveDisplayModel::kRootId);
}

QStringList listedNames(const DelveDisplayModel& model) {
  QStringList names;
  const FileListModel* list = model.listModel();
  for (int i = 0; i < list->rowCount(); ++i) names << list->index(i, 0).data().toString();
  return names;
}

// The engine as a selection reads it: the rows each folder holds now, and the number of the
// last update they include.
struct FakeEngine {
  std::map<std::uint64_t, std::vector<DyxListRow>> folders;
  std::uint64_t seq = 0;
  bool stale = false;  // answers as a worker whose generation moved on
  int listings = 0;

  DelveDisplayModel::RowSource source() {
    return [this](std::uint64_t, std::uint64_t folderId, const ParseWorker::RowSink& sink,
                  std::uint64_t& listedSeq) {
      ++listings;
      listedSeq = seq;
      if (stale) return false;
      for (const DyxListRow& row : folders[folderId]) {
        DyxFrontEnd::RowParts parts;
        parts.name = row.name;
        parts.locationHead =
            std::string_view(row.location).substr(0, row.location.size() - row.name.size());
        parts.size = row.size;
        parts.mtime = row.mtime;
        sink(parts);
      }
      return true;
    };
  }
};

DyxListRow engineRow(const std::string& name, std::uint64_t size = 0) {
  DyxListRow r;
  r.name = name;
  r.location = "/t/" + name;
  r.size = size;
  return r;
}

DelveUpdate numbered(DelveUpdate u, std::uint64_t seq) {
  u.seq = seq;
  return u;
}

// A display model whose item models are checked after every change.
struct Watched {
  DelveDisplayModel model;
  QAbstractItemModelTester treeTester{model.treeModel(),
                                      QAbstractItemModelTester::FailureReportingMode::QtTest};
  QAbstractItemModelTester listTester{model.listModel(),
                                      QAbstractItemModelTester::FailureReportingMode::QtTest};
};

}  // namespace

class DisplayModelTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void foldersAreKeptInLabelOrder() {
    const struct {
      const char* what;
      std::vector<std::string> names;
      QStringList shown;
    } cases[] = {
        {"case folded, then case-sensitive",
         {"b", "Apple", "apple", "C"},
         {"Apple", "apple", "b", "C"}},
        {"drive names get their label",
         {"c:", "C:", "CD:", "sub"},
         {"c:", "CD:", "sub", "System (C:)"}},
        {"equal labels keep their arrival order", {"x", "x", "a"}, {"a", "x", "x"}},
    };
    for (const auto& c : cases) {
      Watched w;
      std::vector<DelveUpdate> updates = {clearTo(1)};
      std::uint64_t id = 0;
      for (const std::string& name : c.names) {
        updates.push_back(folder(1, ++id, DelveUpdate::kRootParent, name));
      }
      w.model.addUpdates(std::move(updates));
      QVERIFY2(labelsUnder(w.model, rootIndex(w.model)) == c.shown, c.what);
      // Every folder's index leads back to it.
      for (std::uint64_t f = 1; f <= id; ++f) {
        const QModelIndex index = w.model.treeModel()->indexOf(f);
        QVERIFY2(FolderTreeModel::folderId(index) == f, c.what);
        QVERIFY2(index.parent() == rootIndex(w.model), c.what);
      }
    }
  }

  void nestedFoldersAndFoldersWithoutAShownParent() {
    Watched w;
    w.model.addUpdates({clearTo(1), folder(1, 1, DelveUpdate::kRootParent, "top"),
                        folder(1, 2, 1, "inner"), folder(1, 3, 2, "deepest"),
                        // The worker could not show its parent: beside the root item.
                        folder(1, 4, DelveUpdate::kTopLevelParent, "zz orphan"),
                        // A parent the model never saw: also beside the root item.
                        folder(1, 5, 99, "aa orphan")});
    const FolderTreeModel* tree = w.model.treeModel();
    QCOMPARE(labelsUnder(w.model, QModelIndex()),
             (QStringList{"aa orphan", "Get Quarry! (Location)", "zz orphan"}));
    const QModelIndex deepest = tree->indexOf(3);
    QCOMPARE(deepest.data().toString(), QStringLiteral("deepest"));
    QCOMPARE(deepest.parent().data().toString(), QStringLiteral("inner"));
    QCOMPARE(deepest.parent().parent().parent(), rootIndex(w.model));
    QCOMPARE(w.model.folderCount(), 5u);

    // A new generation leaves the root item alone, in place and relabelled on demand.
    w.model.setViewTag("Ext");
    w.model.addUpdates({clearTo(2)});
    QCOMPARE(labelsUnder(w.model, QModelIndex()), QStringList{"Get Quarry! (Ext)"});
    QCOMPARE(tree->rowCount(rootIndex(w.model)), 0);
    QCOMPARE(w.model.folderCount(), 0u);
  }

  void staleAndWipedUpdatesAreDropped() {
    Watched w;
    QSignalSpy parsing(&w.model, &DelveDisplayModel::parsingChanged);
    w.model.addUpdates({state(true), clearTo(1), folder(1, 1, DelveUpdate::kRootParent, "old"),
                        row(1, 1, "old.txt")});
    QCOMPARE(w.model.fileCount(), 1u);
    // A later batch clears again: what came before its clear is never shown, but the state
    // changes before it still count.
    w.model.addUpdates({folder(1, 2, DelveUpdate::kRootParent, "wiped"), state(false), state(true),
                        clearTo(2), folder(2, 3, DelveUpdate::kRootParent, "new"),
                        // Of a generation the model has left behind.
                        folder(1, 4, DelveUpdate::kRootParent, "stale"), row(1, 3, "stale.txt"),
                        chunk(1, {{3, "/t/", "stale2.txt"}}), row(2, 3, "a.txt"),
                        chunk(2, {{3, "/t/", "b.txt"},
                                  // A row of a folder that is not shown has nowhere to go.
                                  {77, "/t/", "lost.txt"},
                                  {3, "", "c.txt"}}),
                        row(2, 77, "lost2.txt")});
    // The end of the first parse ends its slice; the rest follows.
    QTRY_VERIFY(!w.model.hasBacklog());
    QCOMPARE(labelsUnder(w.model, rootIndex(w.model)), QStringList{"new"});
    QCOMPARE(w.model.generation(), 2u);
    QCOMPARE(w.model.fileCount(), 3u);
    QCOMPARE(w.model.folderCount(), 1u);
    QCOMPARE(parsing.count(), 3);
    // Rows of a chunk keep their locations, one whose location is its name alone too.
    w.model.selectFolder(3);
    w.model.addUpdates({row(2, 3, "a.txt"), chunk(2, {{3, "/t/", "b.txt"}, {3, "", "c.txt"}})});
    QStringList locations;
    for (int r = 0; r < w.model.listModel()->rowCount(); ++r) {
      locations << QString::fromStdString(w.model.listModel()->rowValues(r).location);
    }
    QCOMPARE(locations, (QStringList{"/t/a.txt", "/t/b.txt", "c.txt"}));
    QVERIFY(w.model.isParsingShown());
  }

  void largeBatchesAreAppliedASliceAtATime() {
    Watched w;
    const unsigned total = DelveDisplayModel::kUpdatesPerSlice * 2 + 10;
    std::vector<DelveUpdate> updates = {state(true), clearTo(1),
                                        folder(1, 1, DelveUpdate::kRootParent, "f")};
    // Rows one by one and in chunks, as followed changes and a parse send them; a slice ends
    // inside a chunk.
    std::vector<ChunkRow> rows;
    for (unsigned i = 0; i < total; ++i) {
      if (i % 3 == 0) {
        updates.push_back(row(1, 1, std::to_string(i)));
        continue;
      }
      rows.push_back({1, "/t/", std::to_string(i)});
      if (rows.size() == DelveRowChunk::kRows || i + 1 == total) {
        updates.push_back(chunk(1, rows));
        rows.clear();
      }
    }
    updates.push_back(state(false));
    QSignalSpy applied(&w.model, &DelveDisplayModel::updatesApplied);
    QSignalSpy finished(&w.model, &DelveDisplayModel::parseFinished);
    w.model.addUpdates(std::move(updates));
    // The first slice: its three leading updates and the rest in rows, fewer when its time ran
    // out first (a slow or busy machine), but never fewer than the 255 before its first look at
    // the clock.
    QVERIFY(w.model.fileCount() <= DelveDisplayModel::kUpdatesPerSlice - 3);
    QVERIFY(w.model.fileCount() >= 255 - 3);
    QVERIFY(w.model.hasBacklog());
    QCOMPARE(finished.count(), 0);
    QVERIFY(finished.wait(5000));
    QCOMPARE(w.model.fileCount(), total);
    QVERIFY(applied.count() >= 3);
    QVERIFY(!w.model.hasBacklog());
    QVERIFY(!w.model.isParsingShown());
  }

  void aFinishEndsItsSlice() {
    Watched w;
    QSignalSpy finished(&w.model, &DelveDisplayModel::parseFinished);
    // An idle state without a start seen is the worker's first idle: no parse has finished.
    w.model.addUpdates({state(false)});
    QCOMPARE(finished.count(), 0);
    w.model.addUpdates({state(true), clearTo(1), state(false), state(true), clearTo(2),
                        folder(2, 1, DelveUpdate::kRootParent, "next")});
    // The first parse's end is announced alone: what follows waits for the next turn.
    QCOMPARE(finished.count(), 1);
    QCOMPARE(w.model.folderCount(), 0u);
    QVERIFY(w.model.hasBacklog());
    QTRY_COMPARE(w.model.folderCount(), 1u);
    QCOMPARE(finished.count(), 1);
    QVERIFY(w.model.isParsingShown());
  }

  void theListShowsTheSelectedFolderNarrowedByFind() {
    Watched w;
    FakeEngine engine;
    w.model.setRowSource(engine.source());
    w.model.addUpdates({clearTo(1), folder(1, 1, DelveUpdate::kRootParent, "one"),
                        folder(1, 2, DelveUpdate::kRootParent, "two"), row(1, 1, "b.txt"),
                        row(1, 1, "ABC.txt"), row(1, 2, "other"), row(1, 1, "xabcx.doc"),
                        row(1, 1, "b.txt")});
    engine.folders[1] = {engineRow("b.txt"), engineRow("ABC.txt"), engineRow("xabcx.doc"),
                         engineRow("b.txt")};
    QCOMPARE(w.model.listModel()->rowCount(), 0);
    QCOMPARE(w.model.statusLine1(), QStringLiteral("Total: 2 folder(s), 5 file(s)"));
    w.model.selectFolder(1);
    // Byte-wise name order: upper case first; equal names in filing order.
    QCOMPARE(listedNames(w.model), (QStringList{"ABC.txt", "b.txt", "b.txt", "xabcx.doc"}));
    QCOMPARE(w.model.statusLine1(),
             QStringLiteral("Total: 2 folder(s), 5 file(s). Selected folder: one: 4 file(s)"));
    const struct {
      const char* find;
      QStringList names;
    } finds[] = {
        // The text and the names are both folded to lower case.
        {"Abc", {"ABC.txt", "xabcx.doc"}},
        {"ABX", {}},
        {"", {"ABC.txt", "b.txt", "b.txt", "xabcx.doc"}},
        {".t", {"ABC.txt", "b.txt", "b.txt"}},
    };
    for (const auto& f : finds) {
      w.model.setFindText(f.find);
      QVERIFY2(listedNames(w.model) == f.names, f.find);
    }
    // Rows filed while the folder is shown are appended, if Find keeps them.
    w.model.addUpdates({row(1, 1, "a.txt"), row(1, 1, "zzz.doc"), row(1, 2, "more.txt")});
    QCOMPARE(listedNames(w.model), (QStringList{"ABC.txt", "b.txt", "b.txt", "a.txt"}));
    // The next refill puts them in name order: the folder's order is made again after a filing.
    w.model.setFindText("");
    QCOMPARE(listedNames(w.model),
             (QStringList{"ABC.txt", "a.txt", "b.txt", "b.txt", "xabcx.doc", "zzz.doc"}));
    // The root item and unknown folders list nothing.
    for (std::uint64_t id : {DelveDisplayModel::kRootId, std::uint64_t{42}}) {
      w.model.selectFolder(id);
      QCOMPARE(w.model.listModel()->rowCount(), 0);
      QCOMPARE(w.model.selectedFolder(), DelveDisplayModel::kRootId);
      QCOMPARE(w.model.statusLine1(), QStringLiteral("Total: 2 folder(s), 8 file(s)"));
    }
  }

  void aSelectionTakesTheEnginesRowsAndOnlyTheUpdatesAfterThem() {
    Watched w;
    FakeEngine engine;
    w.model.setRowSource(engine.source());
    w.model.addUpdates({numbered(clearTo(1), 1),
                        numbered(folder(1, 1, DelveUpdate::kRootParent, "f"), 2),
                        numbered(folder(1, 2, DelveUpdate::kRootParent, "g"), 3)});
    // Updates the window has not applied yet when the folder is selected: the engine already
    // holds the effect of those up to 5.
    DelveUpdate filed = numbered(chunk(1, {{1, "/t/", "a"}, {1, "/t/", "b"}}), 4);
    filed.rows->counts.push_back({2, 3});
    DelveUpdate removed = numbered(update(Kind::kRowRemoved, 1), 5);
    removed.folderId = 1;
    removed.text = "/t/a";
    DelveUpdate later = numbered(row(1, 1, "c"), 6);
    DelveUpdate changed = numbered(row(1, 1, "b", 99), 7);
    changed.kind = Kind::kRowChanged;
    DelveUpdate gone = numbered(update(Kind::kRowRemoved, 1), 8);
    gone.folderId = 1;
    gone.text = "/t/c";
    engine.folders[1] = {engineRow("b", 1)};
    engine.seq = 5;
    w.model.selectFolder(1);
    QCOMPARE(listedNames(w.model), QStringList{"b"});
    w.model.addUpdates({filed, removed, later});
    // Neither a second "b" nor the "a" the engine no longer holds; "c" came after the listing.
    QCOMPARE(listedNames(w.model), (QStringList{"b", "c"}));
    // Every filing counts, listed or not: 2 + 3 - 1 + 1.
    QCOMPARE(w.model.fileCount(), 5u);
    QCOMPARE(w.model.folder(2)->files, 3u);
    w.model.addUpdates({changed, gone});
    QCOMPARE(listedNames(w.model), QStringList{"b"});
    QCOMPARE(w.model.listModel()->rowValues(0).size, std::uint64_t{99});
    QCOMPARE(w.model.fileCount(), 4u);

    // Another folder: only its rows are kept, and a row of the folder before only counts.
    engine.folders[2] = {engineRow("x"), engineRow("y"), engineRow("z")};
    engine.seq = 8;
    w.model.selectFolder(2);
    QCOMPARE(listedNames(w.model), (QStringList{"x", "y", "z"}));
    QCOMPARE(w.model.rows().size(), std::size_t{3});
    w.model.addUpdates({numbered(row(1, 1, "d"), 9)});
    QCOMPARE(listedNames(w.model), (QStringList{"x", "y", "z"}));
    QCOMPARE(w.model.fileCount(), 5u);
    // The Find text narrows what was listed without reading the engine again.
    const int listings = engine.listings;
    w.model.setFindText("y");
    QCOMPARE(listedNames(w.model), QStringList{"y"});
    QCOMPARE(engine.listings, listings);
    w.model.setFindText("");

    // A source whose display moved on lists nothing; the rows that come after it still show.
    engine.stale = true;
    w.model.selectFolder(1);
    QCOMPARE(w.model.listModel()->rowCount(), 0);
    QCOMPARE(w.model.selectedFolder(), std::uint64_t{1});
    w.model.addUpdates({numbered(row(1, 1, "e"), 10)});
    QCOMPARE(listedNames(w.model), QStringList{"e"});
  }

  void followedChangesTouchOnlyTheirRows() {
    Watched w;
    const auto followed = [](std::uint64_t folderId, const std::string& name, std::uint64_t size) {
      DelveUpdate u = row(1, folderId, name, size);
      u.followed = true;
      return u;
    };
    const auto changed = [](std::uint64_t folderId, const std::string& name, std::uint64_t size) {
      DelveUpdate u = row(1, folderId, name, size);
      u.kind = Kind::kRowChanged;
      return u;
    };
    const auto removed = [](std::uint64_t folderId, const std::string& name) {
      DelveUpdate u = update(Kind::kRowRemoved, 1);
      u.folderId = folderId;
      u.text = "/t/" + name;
      return u;
    };
    const auto folderGone = [](std::uint64_t id) {
      DelveUpdate u = update(Kind::kFolderRemoved, 1);
      u.folderId = id;
      return u;
    };
    w.model.addUpdates({clearTo(1), folder(1, 1, DelveUpdate::kRootParent, "f"),
                        folder(1, 2, 1, "sub"), folder(1, 3, 2, "deeper")});
    w.model.selectFolder(1);
    w.model.addUpdates(
        {row(1, 1, "a", 30), row(1, 1, "b", 10), row(1, 1, "c", 20), row(1, 3, "d", 1)});
    w.model.sortList(FileListModel::kSize);
    QCOMPARE(listedNames(w.model), (QStringList{"b", "c", "a"}));
    QPersistentModelIndex selected = w.model.listModel()->index(2, 0);  // "a"

    const struct {
      const char* what;
      std::vector<DelveUpdate> updates;
      QStringList listed;
      std::vector<std::uint64_t> sizes;
      unsigned folders;
      unsigned files;
    } steps[] = {
        {"a followed row goes to its place in the header's order",
         {followed(1, "e", 15)},
         {"b", "e", "c", "a"},
         {10, 15, 20, 30},
         3,
         5},
        {"a changed row keeps its place",
         {changed(1, "c", 99)},
         {"b", "e", "c", "a"},
         {10, 15, 99, 30},
         3,
         5},
        {"a removed row leaves, the others stay",
         {removed(1, "b")},
         {"e", "c", "a"},
         {15, 99, 30},
         3,
         4},
        {"a row of another folder leaves the list alone",
         {removed(3, "d")},
         {"e", "c", "a"},
         {15, 99, 30},
         3,
         3},
        {"a change of a row no folder has is dropped",
         {changed(1, "zz", 5)},
         {"e", "c", "a"},
         {15, 99, 30},
         3,
         3},
        {"a folder leaves with its sub-folders",
         {folderGone(2)},
         {"e", "c", "a"},
         {15, 99, 30},
         1,
         3},
    };
    for (const auto& step : steps) {
      w.model.addUpdates(step.updates);
      QCOMPARE(listedNames(w.model), step.listed);
      std::vector<std::uint64_t> sizes;
      for (int i = 0; i < w.model.listModel()->rowCount(); ++i) {
        sizes.push_back(w.model.listModel()->rowValues(i).size);
      }
      QVERIFY2(sizes == step.sizes, step.what);
      QVERIFY2(w.model.folderCount() == step.folders, step.what);
      QVERIFY2(w.model.fileCount() == step.files, step.what);
      QVERIFY2(w.model.sortColumn() == FileListModel::kSize, step.what);
      QVERIFY2(selected.isValid() && selected.data().toString() == QStringLiteral("a"), step.what);
    }
    QCOMPARE(labelsUnder(w.model, w.model.treeModel()->indexOf(1)), QStringList());

    // The selected folder itself going empties the list.
    w.model.addUpdates({folderGone(1)});
    QCOMPARE(w.model.selectedFolder(), DelveDisplayModel::kRootId);
    QCOMPARE(w.model.listModel()->rowCount(), 0);
    QCOMPARE(w.model.folderCount(), 0u);
    QCOMPARE(w.model.fileCount(), 0u);

    // Polled folders are named on status line 1, and a clear does not forget it.
    DelveUpdate counts = update(Kind::kFollowState, 0);
    counts.counts = DyxWatchCounts{4, 2};
    w.model.addUpdates({counts, clearTo(2)});
    QVERIFY(w.model.statusLine1().endsWith(
        QString::fromStdString(". " + DelveDisplayModel::polledText(2))));
    w.model.addUpdates({update(Kind::kFollowState, 0)});
    QCOMPARE(w.model.statusLine1(), QStringLiteral("Total: 0 folder(s), 0 file(s)"));
    // So is a watcher that cannot start, until the next follow state.
    DelveUpdate failed = update(Kind::kFollowState, 0);
    failed.text = DelveUpdate::kCannotFollowText;
    w.model.addUpdates({failed, clearTo(3)});
    QCOMPARE(w.model.statusLine1(),
             QStringLiteral("Total: 0 folder(s), 0 file(s). Changes cannot be followed"));
    w.model.addUpdates({update(Kind::kFollowState, 0)});
    QCOMPARE(w.model.statusLine1(), QStringLiteral("Total: 0 folder(s), 0 file(s)"));
  }

  void aHeaderOrderLastsUntilTheListChanges() {
    Watched w;
    QSignalSpy sorted(&w.model, &DelveDisplayModel::sortChanged);
    w.model.addUpdates({clearTo(1), folder(1, 1, DelveUpdate::kRootParent, "f")});
    w.model.selectFolder(1);
    w.model.addUpdates({row(1, 1, "small", 10), row(1, 1, "huge", std::uint64_t{5} << 30),
                        row(1, 1, "big", std::uint64_t{3} << 30)});
    QCOMPARE(sorted.count(), 0);
    w.model.sortList(FileListModel::kSize);
    QCOMPARE(listedNames(w.model), (QStringList{"small", "big", "huge"}));
    w.model.sortList(FileListModel::kSize);
    QVERIFY(!w.model.sortAscending());
    QCOMPARE(listedNames(w.model), (QStringList{"huge", "big", "small"}));
    QCOMPARE(sorted.count(), 2);
    // A row appended at the end leaves the header's order.
    w.model.addUpdates({row(1, 1, "new", 1)});
    QCOMPARE(w.model.sortColumn(), -1);
    QVERIFY(w.model.sortAscending());
    QCOMPARE(sorted.count(), 3);
    // So does a refill, which is in name order.
    w.model.sortList(FileListModel::kName);
    w.model.setFindText("");
    QCOMPARE(w.model.sortColumn(), -1);
    QCOMPARE(listedNames(w.model), (QStringList{"big", "huge", "new", "small"}));
  }

  void aClearEmptiesTheListAndForgetsTheSelection() {
    Watched w;
    w.model.addUpdates({clearTo(1), folder(1, 1, DelveUpdate::kRootParent, "f")});
    w.model.selectFolder(1);
    w.model.addUpdates({row(1, 1, "a")});
    QCOMPARE(w.model.listModel()->rowCount(), 1);
    // A selection change the view makes while the tree empties lists nothing.
    connect(&w.model, &DelveDisplayModel::aboutToClear, &w.model,
            [&w]() { w.model.selectFolder(1); });
    w.model.addUpdates({clearTo(2), folder(2, 2, DelveUpdate::kRootParent, "g"), row(2, 2, "b")});
    QCOMPARE(w.model.listModel()->rowCount(), 0);
    QCOMPARE(w.model.selectedFolder(), DelveDisplayModel::kRootId);
    QVERIFY(w.model.folder(1) == nullptr);
    // Only the selected folder's rows are kept: the new folder's row is counted.
    QCOMPARE(w.model.rows().size(), std::size_t{0});
    QCOMPARE(w.model.fileCount(), 1u);
  }

  void theRowStoreGivesBackEveryRowsValues() {
    // Names share an arena and locations their directory's text: every row must come back as
    // it went in, whatever its neighbours.
    const std::string huge(3u << 20, 'h');  // longer than a block of the name arena
    const struct {
      const char* name;
      std::string location;
    } cases[] = {
        {"c.txt", "/a/b/c.txt"},
        {"d.txt", "/a/b/d.txt"},    // the same directory as the row before
        {"c.txt", "/a/x/c.txt"},    // the same name elsewhere
        {"e", "/a/b/e"},            // back in a directory seen before
        {"odd", "/not/ending/so"},  // a location that does not end with the name
        {"\xe9t\xe9", "/a/\xe9t\xe9"},
        {"", "/empty/"},
        {huge.c_str(), "/big/" + huge},
        {"after", "/big/after"},
    };
    DelveRowStore store;
    std::int32_t time = 100;
    for (const auto& c : cases) {
      DyxListRow row;
      row.name = c.name;
      row.location = c.location;
      row.size = std::uint64_t{1} << (time % 40);
      row.mtime = ++time;
      const auto expected = static_cast<std::uint32_t>(store.size());
      QCOMPARE(store.append(row), expected);
    }
    time = 100;
    for (std::uint32_t i = 0; i < store.size(); ++i) {
      const DyxListRow row = store.values(i);
      QCOMPARE(row.name, std::string(cases[i].name));
      QCOMPARE(row.location, cases[i].location);
      QCOMPARE(std::string(store.name(i)), std::string(cases[i].name));
      QCOMPARE(row.size, std::uint64_t{1} << (time % 40));
      QCOMPARE(row.mtime, ++time);
    }
    DyxListRow changed;
    changed.name = "renamed";
    changed.location = "/a/b/renamed";
    changed.size = 7;
    store.replace(1, changed);
    QCOMPARE(store.values(1).location, std::string("/a/b/renamed"));
    QCOMPARE(store.values(2).location, cases[2].location);
    store.clear();
    QCOMPARE(store.size(), std::size_t{0});
    QCOMPARE(store.append(changed), 0u);
    QCOMPARE(store.location(0), std::string("/a/b/renamed"));
  }

  void problemsBelongToTheParse() {
    Watched w;
    QSignalSpy changed(&w.model, &DelveDisplayModel::problemsChanged);
    w.model.addUpdates({clearTo(1), update(Kind::kProblemsCleared, 0),
                        problem(KxNoticeKind::kUnreadable, 1, "/t/locked: Permission denied"),
                        problem(KxNoticeKind::kLeftOut, 5, "5 files were left out"),
                        problem(KxNoticeKind::kDamaged, 1, "damaged")});
    QCOMPARE(w.model.problemTexts().size(), 3);
    QCOMPARE(w.model.statusLine1(),
             QStringLiteral("Total: 0 folder(s), 0 file(s). 1 folder(s) could not be read, "
                            "5 file(s) left out, 1 other problem(s)"));
    // A view switch clears the display but keeps them.
    w.model.addUpdates({clearTo(2)});
    QCOMPARE(w.model.problemTexts().size(), 3);
    QCOMPARE(w.model.leftOut().files, 5u);
    // The next parse forgets them.
    w.model.addUpdates({clearTo(3), update(Kind::kProblemsCleared, 0)});
    QVERIFY(w.model.problemTexts().isEmpty());
    QVERIFY(w.model.leftOut().empty());
    QCOMPARE(changed.count(), 5);
    // A parse's problems and a view switch right after it, taken in one batch: the switch's
    // clear wipes the parse's rows, not what the parse left out.
    w.model.addUpdates({clearTo(4), update(Kind::kProblemsCleared, 0), row(4, 1, "gone"),
                        problem(KxNoticeKind::kLeftOut, 2, "2 files were left out"), clearTo(5)});
    QCOMPARE(w.model.problemTexts(), QStringList{"2 files were left out"});
    QCOMPARE(w.model.leftOut().files, 2u);
  }

  void statusLine2ShowsTheLastDirectoryOfASlice() {
    Watched w;
    QSignalSpy shown(&w.model, &DelveDisplayModel::directoryShown);
    w.model.addUpdates({state(true), clearTo(1), directory(1, "/a"), directory(1, "/a/b")});
    QCOMPARE(shown.count(), 1);
    QCOMPARE(shown.takeFirst().at(0).toString(), QStringLiteral("/a/b"));
    // A parse that starts after the last directory of the slice shows none yet.
    w.model.addUpdates({directory(1, "/a/c"), state(true)});
    QCOMPARE(shown.count(), 0);
  }

  void typedPathsMeanWhatAPersonMeans() {
    const std::string home = "/h/me";
    const struct {
      const char* typed;
      std::string meant;
    } cases[] = {
        {"", ""},
        {"~", home},
        {"~/", home + "/"},
        {"~/Docs", home + "/Docs"},
        {"conf", home + "/conf"},
        {"./x", home + "/./x"},
        {"a b/c", home + "/a b/c"},
        {"/srv/data", "/srv/data"},
        {"~root/x", "/root/x"},
        {"~quarry-no-such-user/x", home + "/~quarry-no-such-user/x"},
        {"x~/y", home + "/x~/y"},
    };
    for (const auto& c : cases) QVERIFY2(delvepath::resolve(c.typed, home) == c.meant, c.typed);
    QCOMPARE(QString::fromStdString(delvepath::resolve("Docs", "/h/")), QStringLiteral("/h/Docs"));
  }
};

QTEST_GUILESS_MAIN(DisplayModelTest)
#include "displaymodel_test.moc"
