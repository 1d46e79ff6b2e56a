#include <dirent.h>

#include "support/thread_count.h"

namespace carovel_test {

// One entry per thread in /proc/self/task.
int ProcessThreadCount() {
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

}  // namespace carovel_test
