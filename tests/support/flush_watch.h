// What each folder held when the data-protection layer flushed it, for the
// tests that a power cut keeps what was written: watched from construction
// until stop() or the end of the scope.
#pragma once

#include <dirent.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "compat/dataprotect/dataprotect.h"

class FlushWatch {
   public:
    // Each flush in order: the folder and the names in it.
    using Flushes = std::vector<std::pair<std::string, std::set<std::string>>>;

    FlushWatch() {
        flushed().clear();
        dp_set_sync_observer(note);
    }
    ~FlushWatch() { stop(); }
    FlushWatch(const FlushWatch &) = delete;
    FlushWatch &operator=(const FlushWatch &) = delete;

    void stop() { dp_set_sync_observer(nullptr); }
    // Whether folder was flushed while name was in it.
    bool holding(const std::string &folder, const std::string &name) const {
        for (auto &[f, names] : flushed())
            if (f == folder && names.count(name)) return true;
        return false;
    }
    // The observer is a plain function, so what it saw is kept here.
    static Flushes &flushed() {
        static Flushes seen;
        return seen;
    }

   private:
    static void note(const char *folder) {
        std::set<std::string> names;
        if (DIR *d = opendir(folder)) {
            while (dirent *e = readdir(d)) names.insert(e->d_name);
            closedir(d);
        }
        flushed().emplace_back(folder, names);
    }
};
