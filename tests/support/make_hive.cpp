// make_hive IN.reg KEY OUT: writes the keys below KEY of a .reg file as a
// hive file (for the sample images and by hand).
// make_hive --9x IN.reg OUT: writes its HKEY_LOCAL_MACHINE as a 98/ME
// SYSTEM.DAT in code page 1252 (the fuzzing stage's seeds).
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/creg_writer.h"
#include "tests/support/hive_writer.h"

int main(int argc, char** argv) {
    const bool win9x = argc == 4 && std::string(argv[1]) == "--9x";
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_hive IN.reg KEY OUT | make_hive --9x IN.reg OUT\n");
        return 2;
    }
    std::ifstream in(argv[win9x ? 2 : 1], std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::string error;
    const bool made =
        in && (win9x ? qu_test::writeWin9xRegistryFromReg(text.str(), 1252, argv[3], &error)
                     : qu_test::writeHiveFromReg(text.str(), argv[2], argv[3], &error));
    if (!made) {
        std::fprintf(stderr, "make_hive: %s\n", in ? error.c_str() : "cannot read the .reg file");
        return 1;
    }
    return 0;
}
