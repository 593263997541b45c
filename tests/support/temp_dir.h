// A temporary folder removed with everything in it, and whole-file helpers.
#pragma once

#include <string>

class TempDir {
   public:
    TempDir();
    ~TempDir();
    std::string file(const char *name) const { return path + "/" + name; }
    std::string path;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);
