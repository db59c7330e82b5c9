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

# The pool's single watcher takes its watches from a watch set of the environment, which only
# Linux has so far (inotify); on Windows every directory is polled, so the tests that count
# watches or wait for a watch's event do not hold there yet. Also: a watched directory deleted
# from under its watch: Wine keeps it until the watch's handle is closed, and the watch does not
# learn that it is gone (a directory moved away is told).
quarry_windows_pending(dyxcore_pdirs_threads_test
  PoolThreadsTest.NotificationPicksUpChangesWithinASecond
  PoolThreadsTest.RefusedWatchIsReportedAndSkipped
  PoolThreadsTest.DestroyingThePoolEndsItsThreadsPromptly
  PoolThreadsTest.StressPollingNotificationAndChurnTogether)
quarry_windows_pending(dyxcore_watcher_threads_test
  WatcherTest.EveryDirectoryOfALargeTreeIsWatchedByOneThread
  WatcherTest.FollowingKeepsThePoolInStepWithTheTree
  WatcherTest.DirectoriesBeyondTheWatchLimitArePolledAndStillFollowed)
