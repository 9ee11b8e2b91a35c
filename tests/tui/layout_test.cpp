// Text layout and picture decoding of the terminal UI.
#include "host/tui/images.h"
#include "host/tui/text_layout.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "tests/support/temp_image.h"

namespace {

using tui::Image;
using tui::parseCaption;
using tui::wrapText;
using Lines = std::vector<std::string>;

void put16(std::string* b, unsigned v) {
    b->push_back(static_cast<char>(v & 0xFF));
    b->push_back(static_cast<char>(v >> 8 & 0xFF));
}
void put32(std::string* b, unsigned v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

// A BMP file with a BITMAPINFOHEADER; `rows` are the stored rows (bottom
// row first unless `height` is negative), each already padded.
std::string bmp(int width, int height, int bpp, const std::string& palette,
                const std::string& rows) {
    std::string b = "BM";
    const unsigned offset = 14 + 40 + static_cast<unsigned>(palette.size());
    put32(&b, offset + static_cast<unsigned>(rows.size()));
    put32(&b, 0);
    put32(&b, offset);
    put32(&b, 40);
    put32(&b, static_cast<unsigned>(width));
    put32(&b, static_cast<unsigned>(height));
    put16(&b, 1);
    put16(&b, static_cast<unsigned>(bpp));
    put32(&b, 0);  // BI_RGB
    put32(&b, static_cast<unsigned>(rows.size()));
    put32(&b, 2835);
    put32(&b, 2835);
    put32(&b, bpp <= 8 ? static_cast<unsigned>(palette.size() / 4) : 0);
    put32(&b, 0);
    return b + palette + rows;
}

TEST(TextLayout, CaptionsShowTheirMnemonic) {
    tui::Caption c = parseCaption("&Detect", false);
    EXPECT_EQ(c.text, "Detect");
    EXPECT_EQ(c.underline, 0);
    EXPECT_EQ(c.mnemonic, 'd');

    c = parseCaption("De&vice:", false);
    EXPECT_EQ(c.text, "Device:");
    EXPECT_EQ(c.underline, 2);
    EXPECT_EQ(c.mnemonic, 'v');

    // "&&" is a literal ampersand; only the first marker counts; a trailing
    // '&' marks nothing.
    c = parseCaption("Save && &Quit &Now&", false);
    EXPECT_EQ(c.text, "Save & Quit Now");
    EXPECT_EQ(c.underline, 7);
    EXPECT_EQ(c.mnemonic, 'q');

    c = parseCaption("A&B", true);  // SS_NOPREFIX
    EXPECT_EQ(c.text, "A&B");
    EXPECT_EQ(c.underline, -1);
}

TEST(TextLayout, StatusTextBreaksAndWraps) {
    // Soft (CR CR LF) and hard (CR LF) breaks both end a line; the final
    // break adds no empty line.
    EXPECT_EQ(wrapText("one.\r\r\ntwo.\r\nthree.\r\r\n", 20), (Lines{"one.", "two.", "three."}));
    EXPECT_EQ(wrapText("", 20), Lines{});
    EXPECT_EQ(wrapText("a\r\r\n\r\nb", 20), (Lines{"a", "", "b"}));

    // A text without an ending (IDS_VERSION_UNKNOWN) continues on the same line.
    EXPECT_EQ(wrapText("ERROR: x.Windows98 / WindowsME detected.\r\r\n", 80),
              Lines{"ERROR: x.Windows98 / WindowsME detected."});

    // Word wrap at spaces; the two spaces between sentences vanish at a
    // break and stay inside a line; exactly `width` still fits.
    EXPECT_EQ(wrapText("NOTE: No device!  If you have one, plug it in.", 16),
              (Lines{"NOTE: No device!", "If you have one,", "plug it in."}));
    EXPECT_EQ(wrapText("ab  cd ef", 20), Lines{"ab  cd ef"});
    EXPECT_EQ(wrapText("abcd efgh", 4), (Lines{"abcd", "efgh"}));

    // A word wider than the pane is cut.
    EXPECT_EQ(wrapText("x 0123456789ab y", 5), (Lines{"x", "01234", "56789", "ab y"}));

    // Every line fits, whatever the width.
    const std::string text =
        "'Quorvane USB 2.0 Network Adapter' has been installed '2' times on this system.\r\r\n";
    for (int width = 1; width < 90; ++width) {
        for (const std::string& line : wrapText(text, width)) {
            EXPECT_LE(static_cast<int>(line.size()), width) << line;
            EXPECT_FALSE(line.empty());
        }
    }
}

TEST(Images, BitmapFilesDecode) {
    // 24 bits, 3 x 2, bottom-up: rows padded to 12 bytes.
    std::string rows;
    rows += std::string(
                "\x00\x00\xFF"
                "\x00\xFF\x00"
                "\xFF\x00\x00",
                9) +
            std::string(3, '\0');
    rows += std::string(
                "\xFF\xFF\xFF"
                "\x00\x00\x00"
                "\x80\x80\x80",
                9) +
            std::string(3, '\0');
    Image image;
    ASSERT_TRUE(tui::decodeBitmapFile(bmp(3, 2, 24, "", rows), &image));
    ASSERT_EQ(image.width, 3);
    ASSERT_EQ(image.height, 2);
    EXPECT_EQ(image.at(0, 0), 0xFFFFFFFFu);  // top row = last stored
    EXPECT_EQ(image.at(2, 0), 0xFF808080u);
    EXPECT_EQ(image.at(0, 1), 0xFFFF0000u);  // BGR bytes
    EXPECT_EQ(image.at(1, 1), 0xFF00FF00u);
    EXPECT_EQ(image.at(2, 1), 0xFF0000FFu);

    // Top-down (negative height) keeps the stored order.
    ASSERT_TRUE(tui::decodeBitmapFile(bmp(3, -2, 24, "", rows), &image));
    EXPECT_EQ(image.at(0, 0), 0xFFFF0000u);

    // 4 bits with a two-entry palette: indices 1, 0, 1.
    const std::string palette(
        "\x00\x00\x00\x00"
        "\x10\x20\x30\x00",
        8);
    ASSERT_TRUE(
        tui::decodeBitmapFile(bmp(3, 1, 4, palette, std::string("\x10\x10\x00\x00", 4)), &image));
    EXPECT_EQ(image.at(0, 0), 0xFF302010u);
    EXPECT_EQ(image.at(1, 0), 0xFF000000u);
    EXPECT_EQ(image.at(2, 0), 0xFF302010u);

    // Bad input is refused, never read past its end.
    const std::string good = bmp(3, 2, 24, "", rows);
    EXPECT_FALSE(tui::decodeBitmapFile(good.substr(0, good.size() - 1), &image));
    EXPECT_FALSE(tui::decodeBitmapFile(good.substr(0, 20), &image));
    EXPECT_FALSE(tui::decodeBitmapFile("", &image));
    std::string wrongMagic = good;
    wrongMagic[0] = 'X';
    EXPECT_FALSE(tui::decodeBitmapFile(wrongMagic, &image));
    EXPECT_FALSE(
        tui::decodeBitmapFile(bmp(3, 1, 4, palette, std::string("\x12\x10\x00\x00", 4)), &image))
        << "palette index 2 of a two-entry palette";
    EXPECT_FALSE(tui::decodeBitmapFile(bmp(100000, 1, 24, "", rows), &image));
    std::string compressed = good;
    compressed[14 + 16] = 1;  // BI_RLE8
    EXPECT_FALSE(tui::decodeBitmapFile(compressed, &image));
}

TEST(Images, TheProgramsPicturesDecode) {
    const std::string res = std::string(QU_SOURCE_DIR) + "/dialog/res/";
    Image image;
    ASSERT_TRUE(tui::decodeBitmapFile(qu_test::readHostFile(res + "picture.bmp"), &image));
    EXPECT_EQ(image.width, 48);
    EXPECT_EQ(image.height, 48);
    ASSERT_TRUE(tui::decodeBitmapFile(qu_test::readHostFile(res + "logo.bmp"), &image));
    EXPECT_EQ(image.width, 88);
    EXPECT_EQ(image.height, 24);

    const std::string icon = qu_test::readHostFile(res + "app.ico");
    ASSERT_TRUE(tui::decodeIconFile(icon, 32, &image));
    EXPECT_EQ(image.width, 32);
    ASSERT_TRUE(tui::decodeIconFile(icon, 16, &image));
    EXPECT_EQ(image.width, 16);
    EXPECT_FALSE(tui::decodeIconFile(icon.substr(0, 30), 32, &image));
    EXPECT_FALSE(tui::decodeIconFile("", 32, &image));
}

TEST(Images, IconMaskMakesPixelsTransparent) {
    // One 24-bit 2 x 2 entry: colour rows, then the AND mask (1 = clear),
    // both bottom-up with rows padded to 4 bytes.
    std::string dib;
    put32(&dib, 40);
    put32(&dib, 2);
    put32(&dib, 4);  // twice the height: colour + mask
    put16(&dib, 1);
    put16(&dib, 24);
    dib += std::string(24, '\0');
    dib += std::string(
        "\x01\x02\x03"
        "\x04\x05\x06\0\0",
        8);  // bottom row
    dib += std::string(
        "\x07\x08\x09"
        "\x0A\x0B\x0C\0\0",
        8);                               // top row
    dib += std::string("\x40\0\0\0", 4);  // bottom row: right pixel clear
    dib += std::string("\x80\0\0\0", 4);  // top row: left pixel clear
    std::string ico;
    put16(&ico, 0);
    put16(&ico, 1);
    put16(&ico, 1);
    ico += std::string("\x02\x02\0\0", 4);
    put16(&ico, 1);
    put16(&ico, 24);
    put32(&ico, static_cast<unsigned>(dib.size()));
    put32(&ico, 22);
    ico += dib;

    Image image;
    ASSERT_TRUE(tui::decodeIconFile(ico, 32, &image));
    ASSERT_EQ(image.width, 2);
    ASSERT_EQ(image.height, 2);
    EXPECT_EQ(image.at(0, 0), 0u);
    EXPECT_EQ(image.at(1, 0), 0xFF0C0B0Au);
    EXPECT_EQ(image.at(0, 1), 0xFF030201u);
    EXPECT_EQ(image.at(1, 1), 0u);

    // An entry that claims more bytes than the file has.
    std::string truncated = ico.substr(0, ico.size() - 4);
    EXPECT_FALSE(tui::decodeIconFile(truncated, 32, &image));
}

}  // namespace
