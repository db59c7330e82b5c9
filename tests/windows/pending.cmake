# Engine tests that do not pass under Wine yet, left out of the Windows run by name; each group
# says why. The list shrinks as the tests learn the system's separator or the faults are mended.
# Everything else in the engine's suites runs on both systems.
function(quarry_windows_pending test)
  list(JOIN ARGN ":" names)
  set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT "GTEST_FILTER=-${names}")
endfunction()

# Expected texts written with "/" as the separator (printed paths, trace lines, path map files);
# the engine answers with "\" there.
quarry_windows_pending(dyxcore_path_test
  DyxPath.ParseWithExplicitSeparator DyxPath.PartOperationsAndRanges DyxPath.Join
  DyxPath.NativeSeparatorsAndDrives DyxPath.OrderIsPartwiseBytewiseWithPrefixFirst
  DyxPath.StreamReadAndWrite)
quarry_windows_pending(dyxcore_pdirs_test PoolTest.ResetScansThePathMapWhenTheRepositoryIsEmpty)
quarry_windows_pending(dyxcore_uview_test
  UserViewTest.ReadsFoldersAndEntries UserViewTest.BadRecordsAreReportedAndSkipped
  UserViewTest.WrittenFileReadsBackTheSameView
  UserViewTest.NamesWithQuotesAndLineEndsSurviveTheRoundTrip
  UserViewTest.AFilterViewSavedThreeTimesIsByteIdentical
  UserViewTest.AViewThatCannotBeSavedKeepsItsFileAndSaysWhy)
quarry_windows_pending(dyxcore_pathmap_test
  PathMapTest.BadFlagIsReportedWithItsLineCountedFromZero
  PathMapTest.PathsTheFileCannotHoldAreReportedNotMangled PathMapTest.WriteAndReadBack)

# A watched directory that is deleted. Wine removes a directory only once the last handle on it
# closes: while a watch holds its handle the directory stays where it was (it is listed, opened
# and looked up as before, nothing marks it as being deleted), the watch's pending read does not
# complete, and the deletion of its parent fails ("Access denied", not empty). So neither the
# watch nor the pool's own update can learn that it went. Windows instead completes the pending
# read of a deleted directory with an error, on which the watch set ends the watch. (A watched
# directory moved away is told under Wine too, by its parent's records or by its path.)
quarry_windows_pending(dyxcore_pdirs_threads_test PoolThreadsTest.ADeletedWatchedDirectoryEndsItsWatch)
quarry_windows_pending(dyxcore_watcher_threads_test
  WatcherTest.DeletedDirectoriesLeaveThePoolAndGiveUpTheirWatches)
