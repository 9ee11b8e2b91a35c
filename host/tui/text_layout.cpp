#include "host/tui/text_layout.h"

#include <cctype>

namespace tui {

Caption parseCaption(const std::string& text, bool noPrefix) {
    Caption caption;
    if (noPrefix) {
        caption.text = text;
        return caption;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&' && i + 1 < text.size()) {
            ++i;
            if (text[i] != '&' && caption.underline < 0) {
                caption.underline = static_cast<int>(caption.text.size());
                caption.mnemonic =
                    static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
            }
        } else if (text[i] == '&') {
            continue;  // a lone trailing '&' marks nothing
        }
        caption.text += text[i];
    }
    return caption;
}

namespace {

// Splits at "\r\r\n", "\r\n" and "\n"; a lone "\r" is kept as a space.
std::vector<std::string> paragraphs(const std::string& text) {
    std::vector<std::string> result;
    std::string current;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\r' && text.compare(i, 3, "\r\r\n") == 0) {
            result.push_back(current);
            current.clear();
            i += 3;
        } else if (c == '\r' && text.compare(i, 2, "\r\n") == 0) {
            result.push_back(current);
            current.clear();
            i += 2;
        } else if (c == '\n') {
            result.push_back(current);
            current.clear();
            ++i;
        } else {
            current += (c == '\r' || c == '\t') ? ' ' : c;
            ++i;
        }
    }
    if (!current.empty()) result.push_back(current);
    return result;
}

void wrapParagraph(const std::string& line, size_t width, std::vector<std::string>* out) {
    if (line.size() <= width) {
        out->push_back(line);
        return;
    }
    size_t start = 0;
    while (start < line.size()) {
        if (line.size() - start <= width) {
            out->push_back(line.substr(start));
            return;
        }
        // Break after the last space that keeps the line within `width`.
        size_t cut = line.rfind(' ', start + width);
        size_t next;
        if (cut == std::string::npos || cut <= start) {
            cut = start + width;  // one word wider than the pane
            next = cut;
        } else {
            next = cut + 1;
        }
        size_t end = cut;
        while (end > start && line[end - 1] == ' ') --end;
        out->push_back(line.substr(start, end - start));
        while (next < line.size() && line[next] == ' ') ++next;
        start = next;
    }
}

}  // namespace

std::vector<std::string> wrapText(const std::string& text, int width) {
    std::vector<std::string> lines;
    const size_t w = width < 1 ? 1 : static_cast<size_t>(width);
    for (const std::string& paragraph : paragraphs(text)) wrapParagraph(paragraph, w, &lines);
    return lines;
}

std::vector<std::string> wrapLabel(const std::string& text, int width, int maxLines) {
    std::vector<std::string> lines = wrapText(text, width);
    if (maxLines >= 0 && lines.size() > static_cast<size_t>(maxLines)) lines.resize(maxLines);
    return lines;
}

}  // namespace tui
