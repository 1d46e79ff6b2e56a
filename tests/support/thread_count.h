// The number of threads of the test process, for tests that check that
// threads end. Built from thread_count_posix.cpp or thread_count_win.cpp.
#ifndef CAROVEL_TESTS_SUPPORT_THREAD_COUNT_H
#define CAROVEL_TESTS_SUPPORT_THREAD_COUNT_H

namespace carovel_test {

// The number of threads of this process; -1 when it cannot be told.
int ProcessThreadCount();

}  // namespace carovel_test

#endif  // CAROVEL_TESTS_SUPPORT_THREAD_COUNT_H
