// fuzz_make_seed IMAGE_DIR OUTPUT [COMMANDS]: writes the image as one input
// of fuzz_machine, with COMMANDS (default "detect\nuninstall") as its script.
#include "fuzz/fuzz_image.h"

#include <cstdio>
#include <fstream>

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: fuzz_make_seed IMAGE_DIR OUTPUT [COMMANDS]\n");
        return 2;
    }
    qu_fuzz::FuzzImage image;
    if (!qu_fuzz::readImageDir(argv[1], &image)) {
        std::fprintf(stderr, "fuzz_make_seed: %s is not a machine image\n", argv[1]);
        return 1;
    }
    image.commands = argc == 4 ? argv[3] : "detect\nuninstall";
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out << qu_fuzz::serialiseFuzzImage(image);
    return out ? 0 : 1;
}
