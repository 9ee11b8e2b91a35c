// make_hive IN.reg KEY OUT: writes the keys below KEY of a .reg file as a
// hive file (for the sample images and by hand).
#include <cstdio>
#include <fstream>
#include <sstream>

#include "tests/support/hive_writer.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_hive IN.reg KEY OUT\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::string error;
    if (!in || !qu_test::writeHiveFromReg(text.str(), argv[2], argv[3], &error)) {
        std::fprintf(stderr, "make_hive: %s\n", in ? error.c_str() : "cannot read the .reg file");
        return 1;
    }
    return 0;
}
