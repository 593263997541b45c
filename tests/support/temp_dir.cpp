#include "support/temp_dir.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

TempDir::TempDir() {
    char tmpl[] = "/tmp/zarvek-test-XXXXXX";
    path = mkdtemp(tmpl) ? tmpl : "/tmp";
}

TempDir::~TempDir() {
    // restore rights first, so folders a test locked down are removable too
    std::string cmd = "chmod -R u+rwx '" + path + "' 2>/dev/null; rm -rf '" + path + "'";
    if (path != "/tmp" && system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path.c_str());
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}
