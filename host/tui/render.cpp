#include "host/tui/render.h"

#include "host/tui/text_layout.h"

#include <algorithm>
#include <cmath>

namespace tui {

using winsim::ui::ControlInfo;
using winsim::ui::ControlKind;
using winsim::ui::DialogInfo;

namespace {

constexpr uint32_t kFaceRgb = 0xC0C0C0;  // the 3D face behind transparent pixels
// The model's pixels: 4 dialog units = 6 pixels across, 8 = 13 down; a cell
// is one column by one row of dialog units.
constexpr double kCellPxX = 6.0;
constexpr double kCellPxY = 13.0;

Style styled(Role role, bool bold = false, bool underline = false) {
    Style s;
    s.role = role;
    s.bold = bold;
    s.underline = underline;
    return s;
}

// Draws `caption` at `col` with its mnemonic underlined.
void drawCaption(Screen* screen, int at, int r, const std::string& utf8Text, int underline,
                 const Style& style) {
    const std::u32string text = decodeUtf8(utf8Text);
    for (size_t i = 0; i < text.size(); ++i) {
        Style s = style;
        if (static_cast<int>(i) == underline) s.underline = true;
        screen->put(at + static_cast<int>(i), r, text[i], s);
    }
}

// Average colour of the image over [x0,x1) x [y0,y1) in image pixels;
// transparent pixels and the area outside the image count as the face.
uint32_t sample(const Image& image, double x0, double y0, double x1, double y1) {
    const int ix0 = static_cast<int>(std::floor(x0));
    const int iy0 = static_cast<int>(std::floor(y0));
    const int ix1 = std::max(ix0 + 1, static_cast<int>(std::ceil(x1)));
    const int iy1 = std::max(iy0 + 1, static_cast<int>(std::ceil(y1)));
    unsigned long r = 0, g = 0, b = 0, n = 0;
    for (int y = iy0; y < iy1; ++y) {
        for (int x = ix0; x < ix1; ++x) {
            uint32_t p = kFaceRgb;
            if (x >= 0 && y >= 0 && x < image.width && y < image.height && image.at(x, y) >> 24) {
                p = image.at(x, y) & 0xFFFFFF;
            }
            r += p >> 16;
            g += (p >> 8) & 0xFF;
            b += p & 0xFF;
            ++n;
        }
    }
    return static_cast<uint32_t>((r / n) << 16 | (g / n) << 8 | (b / n));
}

}  // namespace

// ---- Painter -------------------------------------------------------------------

Painter::Painter(AnsiText ansi) : ansi_(ansi) {}

void Painter::addHit(const Rect& rect, Hit::Kind kind, HWND dialog, HWND control, int id,
                     int index) {
    Hit hit;
    hit.rect = rect;
    hit.kind = kind;
    hit.dialog = dialog;
    hit.control = control;
    hit.id = id;
    hit.index = index;
    hits_.push_back(hit);
}

const Hit* Painter::hitAt(int c, int r) const {
    for (auto it = hits_.rbegin(); it != hits_.rend(); ++it) {
        if (it->rect.contains(c, r)) return &*it;
    }
    return nullptr;
}

std::vector<winsim::ui::MenuItem> Painter::menuItems(HWND dialog) {
    std::vector<winsim::ui::MenuItem> items = winsim::ui::systemMenuItems(dialog);
    // Windows are centred on the terminal and cannot be moved or sized
    // there: those entries show disabled.
    for (winsim::ui::MenuItem& item : items) {
        if (item.id == SC_MOVE || item.id == SC_SIZE) item.enabled = false;
    }
    return items;
}

void Painter::draw(Screen* screen, const DrawOptions& options) {
    hits_.clear();
    screen->clearClip();
    screen->fill(Rect{0, 0, screen->cols(), screen->rows()}, styled(Role::Desktop));

    std::vector<DialogInfo> dialogs;
    int needCols = 0, needRows = 0;
    for (HWND h : winsim::ui::runningDialogs()) {
        DialogInfo info;
        if (!winsim::ui::describeDialog(h, &info)) continue;
        int c, r;
        minimumScreen(info, &c, &r);
        needCols = std::max(needCols, c);
        needRows = std::max(needRows, r);
        dialogs.push_back(std::move(info));
    }
    tooSmall_ = screen->cols() < needCols || screen->rows() < needRows;
    if (tooSmall_) {
        closePopup();  // Esc must reach the dialog, which cannot be seen
        drawNotice(screen, needCols, needRows);
        return;
    }
    const HWND active = winsim::ui::activeDialog();
    if (popup_.kind != Popup::None && popup_.dialog != active) closePopup();
    for (const DialogInfo& d : dialogs) drawDialog(screen, d, d.hwnd == active, options);
}

void Painter::drawNotice(Screen* screen, int needCols, int needRows) {
    drawMessage(screen, "The terminal is too small for this dialog: it needs " +
                            std::to_string(needCols) + " x " + std::to_string(needRows) +
                            " characters, this one has " + std::to_string(screen->cols()) + " x " +
                            std::to_string(screen->rows()) +
                            ". Enlarge it; Esc closes the dialog.");
}

void Painter::drawMessage(Screen* screen, const std::string& text) {
    hits_.clear();
    screen->clearClip();
    screen->fill(Rect{0, 0, screen->cols(), screen->rows()}, styled(Role::Message));
    const int width = std::max(1, screen->cols() - 2);
    const std::vector<std::string> lines = wrapText(text, width);
    int r = std::max(0, (screen->rows() - static_cast<int>(lines.size())) / 2);
    for (const std::string& line : lines) {
        screen->text(std::max(0, (screen->cols() - static_cast<int>(line.size())) / 2), r++, line,
                     styled(Role::Message));
    }
}

void Painter::drawDialog(Screen* screen, const DialogInfo& d, bool active,
                         const DrawOptions& options) {
    const WindowLayout layout = layoutWindow(d, screen->cols(), screen->rows());
    const Rect& w = layout.window;
    screen->clearClip();
    screen->fill(w, styled(Role::Face));

    // Title bar: [-] (system menu), caption, [x] (close box).
    const Style title = styled(active ? Role::Title : Role::TitleInactive, true);
    screen->fill(Rect{w.col, w.row, w.cols, 1}, title);
    int captionAt = w.col + 1;
    const bool sysMenu = (d.style & WS_SYSMENU) != 0;
    if (sysMenu) {
        screen->text(w.col + 1, w.row, "[-]", title);
        screen->text(w.col + w.cols - 4, w.row, "[x]", title);
        captionAt = w.col + 5;
        if (active) {
            addHit(Rect{w.col + 1, w.row, 3, 1}, Hit::SystemMenuBox, d.hwnd, nullptr, 0);
            addHit(Rect{w.col + w.cols - 4, w.row, 3, 1}, Hit::CloseBox, d.hwnd, nullptr, 0);
        }
    }
    screen->setClip(Rect{captionAt, w.row, std::max(0, w.col + w.cols - 5 - captionAt), 1});
    screen->text(captionAt, w.row, utf8(d.caption), title);
    screen->clearClip();

    const Style frame = styled(Role::Frame);
    const int bottom = layout.client.row + layout.client.rows;
    for (int r = w.row + 1; r < bottom; ++r) {
        screen->put(w.col, r, glyph::kVLine, frame);
        screen->put(w.col + w.cols - 1, r, glyph::kVLine, frame);
    }
    if (layout.bottomBorder) {
        screen->put(w.col, bottom, glyph::kBottomLeft, frame);
        screen->put(w.col + w.cols - 1, bottom, glyph::kBottomRight, frame);
        for (int c = w.col + 1; c < w.col + w.cols - 1; ++c) {
            screen->put(c, bottom, glyph::kHLine, frame);
        }
    }

    // A push button with the focus shows as the default one; otherwise the
    // dialog's default button does.
    shownDefault_ = nullptr;
    for (const ControlInfo& c : d.controls) {
        if (c.kind == ControlKind::Button && isPushButton(c) && c.focused) shownDefault_ = c.hwnd;
    }
    for (const ControlInfo& c : d.controls) {
        if (shownDefault_ == nullptr && c.kind == ControlKind::Button && c.isDefault) {
            shownDefault_ = c.hwnd;
        }
    }
    for (const ControlInfo& c : d.controls) {
        // A control's own WS_VISIBLE decides (the hidden "Dummy" button is
        // not drawn): a modal dialog shows whether or not its template says
        // WS_VISIBLE, which the window system's `visible` does not reflect.
        if ((c.style & WS_VISIBLE) == 0) continue;
        drawControl(screen, layout.client, d, active, c, options);
    }
    screen->clearClip();
    if (active && popup_.kind == Popup::DropDown) drawDropDown(screen, d, layout.client);
    if (active && popup_.kind == Popup::SystemMenu) drawSystemMenu(screen, d, layout);
}

void Painter::drawControl(Screen* screen, const Rect& client, const DialogInfo& d, bool active,
                          const ControlInfo& c, const DrawOptions& options) {
    const HWND dialog = d.hwnd;
    Rect cells = controlCells(c);
    cells.col += client.col;
    cells.row += client.row;
    screen->setClip(client);
    switch (c.kind) {
        case ControlKind::Button:
            drawButton(screen, cells, c, options);
            if (active) addHit(cells.intersect(client), Hit::Button, dialog, c.hwnd, c.id);
            break;
        case ControlKind::ComboBox:
            drawCombo(screen, cells, c);
            if (active) addHit(cells.intersect(client), Hit::ComboBox, dialog, c.hwnd, c.id);
            break;
        case ControlKind::Edit:
            drawEdit(screen, cells, dialog, active, c);
            break;
        case ControlKind::Static:
            if (!c.imageType.empty()) {
                drawPicture(screen, cells, c, options);
            } else if (isLabel(c)) {
                drawLabel(screen, cells, client, c, labelRoom(d, c));
            } else if ((c.style & SS_TYPEMASK) >= SS_BLACKFRAME &&
                       (c.style & SS_TYPEMASK) <= SS_WHITEFRAME) {
                screen->frame(cells, styled(Role::Face));
            }
            break;
        case ControlKind::Other:
            break;
    }
}

void Painter::drawButton(Screen* screen, const Rect& cells, const ControlInfo& c,
                         const DrawOptions& options) {
    const Caption caption = parseCaption(c.text, false);
    const std::string text = utf8(caption.text);
    const int length = static_cast<int>(decodeUtf8(text).size());
    if (!isPushButton(c)) {
        // Check boxes and radio buttons (not in the program's templates).
        const bool checkBox = (c.style & BS_TYPEMASK) != BS_GROUPBOX;
        const Style s = styled(c.enabled ? Role::Face : Role::Disabled);
        const int at = cells.col + (checkBox ? 4 : 1);
        if (checkBox) screen->text(cells.col, cells.row, "[ ]", s);
        drawCaption(screen, at, cells.row, text, c.enabled ? caption.underline : -1, s);
        return;
    }
    Role role = Role::Button;
    if (!c.enabled) {
        role = Role::Disabled;
    } else if (c.focused) {
        role = Role::ButtonFocus;
    }
    const Style s = styled(role, c.hwnd == shownDefault_);
    screen->fill(cells, s);
    const bool parentheses = !c.enabled && options.bracketDisabled;
    screen->put(cells.col, cells.row, parentheses ? U'(' : U'[', s);
    screen->put(cells.col + cells.cols - 1, cells.row, parentheses ? U')' : U']', s);
    const int inner = std::max(0, cells.cols - 2);
    const int at = cells.col + 1 + std::max(0, (inner - length) / 2);
    drawCaption(screen, at, cells.row, text, c.enabled ? caption.underline : -1, s);
}

void Painter::drawLabel(Screen* screen, const Rect& cells, const Rect& client, const ControlInfo& c,
                        const Span& room) {
    const Caption caption = parseCaption(c.text, (c.style & SS_NOPREFIX) != 0);
    const Style s = styled(c.enabled ? Role::Face : Role::Disabled);
    const DWORD align = c.style & SS_TYPEMASK;
    std::vector<std::string> lines;
    if (cells.rows > 1) {
        lines = wrapLabel(caption.text, cells.cols, cells.rows);
    } else {
        lines.push_back(caption.text);
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string text = utf8(lines[i]);
        const int length = static_cast<int>(decodeUtf8(text).size());
        int at = cells.col;
        if (align == SS_CENTER) {
            at = cells.col + (cells.cols - length) / 2;
        } else if (align == SS_RIGHT) {
            at = cells.col + cells.cols - length;
        }
        if (cells.rows == 1 && length > cells.cols) {
            // Wider than its cells (text measured in cells is wider than in
            // pixels): into the free cells of its row, a centred one
            // centred in them.
            const int first = client.col + room.col;
            if (align == SS_CENTER && length <= room.cols) {
                at = first + (room.cols - length) / 2;
            } else {
                at = std::max(first, std::min(at, first + room.cols - length));
            }
        }
        at = std::max(client.col, std::min(at, client.col + client.cols - length));
        drawCaption(screen, at, cells.row + static_cast<int>(i), text,
                    i == 0 && c.enabled ? caption.underline : -1, s);
    }
}

void Painter::drawCombo(Screen* screen, const Rect& cells, const ControlInfo& c) {
    const bool enabled = c.enabled;
    screen->fill(cells, styled(enabled ? Role::Field : Role::Disabled));
    const int textCols = std::max(0, cells.cols - 2);
    if (c.focused && enabled && textCols > 0) {
        screen->fill(Rect{cells.col, cells.row, textCols, 1}, styled(Role::Selection));
    }
    const Style text = styled(!enabled    ? Role::Disabled
                              : c.focused ? Role::Selection
                                          : Role::Field);
    // The item text is clipped to the field, leaving the arrow.
    screen->setClip(Rect{cells.col, cells.row, textCols, 1});
    screen->text(cells.col + 1, cells.row, utf8(c.text), text);
    screen->clearClip();
    screen->put(cells.col + cells.cols - 1, cells.row, glyph::kDownArrow,
                styled(enabled ? Role::Button : Role::Disabled));
}

void Painter::drawEdit(Screen* screen, const Rect& cells, HWND dialog, bool active,
                       const ControlInfo& c) {
    const Style field = styled(c.enabled ? Role::Field : Role::Disabled);
    const Style frame = styled(c.enabled ? Role::Field : Role::Disabled, c.focused);
    screen->fill(cells, field);
    if (!isMultiLineEdit(c)) {  // one row (controlCells): no room for a frame
        screen->setClip(cells);
        screen->text(cells.col, cells.row, utf8(c.text), field);
        if (active) addHit(cells, Hit::EditBody, dialog, c.hwnd, c.id);
        return;
    }

    // The window system's lines in its text cells, from its first visible
    // line: the frame takes the cells around them.
    const Rect own = controlCells(c);  // `cells` less the client area's place
    const Rect inner{cells.col - own.col + c.textCells.col, cells.row - own.row + c.textCells.row,
                     c.textCells.cols, c.textCells.rows};
    const bool framed = inner.cols != cells.cols || inner.rows != cells.rows;
    if (framed) screen->frame(cells, frame);
    const int count = static_cast<int>(c.lines.size());
    EditView& view = edits_[c.hwnd];
    view.top = c.firstVisibleLine;
    view.lines = count;
    view.rows = inner.rows;
    view.followEnd = view.top + view.rows >= count;
    const int maxTop = std::max(0, count - inner.rows);

    screen->setClip(inner);
    for (int i = 0; i < inner.rows && view.top + i < count; ++i) {
        std::string line = c.lines[view.top + i];
        // A lone CR or LF, or a tab, is an ordinary character of the line.
        for (char& ch : line) {
            if (static_cast<unsigned char>(ch) < 0x20) ch = ' ';
        }
        screen->text(inner.col, inner.row + i, utf8(line), field);
    }
    screen->setClip(cells);
    if (active) addHit(inner, Hit::EditBody, dialog, c.hwnd, c.id);
    if (count <= inner.rows || !framed || inner.rows < 2) return;

    // Scroll indicator on the right border: arrows and a thumb.
    const int barCol = cells.col + cells.cols - 1;
    const int trackTop = inner.row + 1;
    const int trackRows = inner.rows - 2;
    const Style bar = styled(c.enabled ? Role::Field : Role::Disabled);
    screen->put(barCol, inner.row, glyph::kUpArrow, bar);
    screen->put(barCol, inner.row + inner.rows - 1, glyph::kDownArrow, bar);
    if (trackRows > 0) {
        for (int i = 0; i < trackRows; ++i) screen->put(barCol, trackTop + i, glyph::kShade, bar);
        const int thumb = maxTop == 0 ? 0 : (view.top * (trackRows - 1) + maxTop / 2) / maxTop;
        screen->put(barCol, trackTop + thumb, glyph::kBlock, bar);
        if (active) {
            addHit(Rect{barCol, trackTop, 1, thumb}, Hit::EditPageUp, dialog, c.hwnd, c.id);
            addHit(Rect{barCol, trackTop + thumb + 1, 1, trackRows - thumb - 1}, Hit::EditPageDown,
                   dialog, c.hwnd, c.id);
        }
    }
    if (active) {
        addHit(Rect{barCol, inner.row, 1, 1}, Hit::EditLineUp, dialog, c.hwnd, c.id);
        addHit(Rect{barCol, inner.row + inner.rows - 1, 1, 1}, Hit::EditLineDown, dialog, c.hwnd,
               c.id);
    }
}

const Painter::Picture& Painter::picture(const ControlInfo& c) {
    auto found = pictures_.find(c.imageBytes);
    if (found != pictures_.end()) return found->second;
    Picture& p = pictures_[c.imageBytes];
    if (c.imageBytes != nullptr) {
        p.ok = c.imageType == "ICON" ? decodeIconFile(*c.imageBytes, 32, &p.image)
                                     : decodeBitmapFile(*c.imageBytes, &p.image);
    }
    return p;
}

void Painter::drawPicture(Screen* screen, const Rect& cells, const ControlInfo& c,
                          const DrawOptions& options) {
    const Picture& p = picture(c);
    if (!options.colour || !p.ok) {
        // Placeholder: a frame with the picture's name.
        std::string name = c.imageFile;
        const size_t slash = name.find_last_of("/\\");
        if (slash != std::string::npos) name.erase(0, slash + 1);
        const size_t dot = name.find_last_of('.');
        if (dot != std::string::npos && dot > 0) name.erase(dot);
        if (name.empty()) name = c.imageName;
        const Style s = styled(Role::Face);
        if (cells.rows >= 3) {
            screen->frame(cells, s);
            screen->setClip(Rect{cells.col + 1, cells.row + 1, cells.cols - 2, cells.rows - 2});
            const int length = static_cast<int>(name.size());
            screen->text(cells.col + 1 + std::max(0, (cells.cols - 2 - length) / 2),
                         cells.row + cells.rows / 2, name, s);
        } else {
            screen->setClip(cells);
            screen->put(cells.col, cells.row, U'[', s);
            screen->put(cells.col + cells.cols - 1, cells.row, U']', s);
            screen->setClip(Rect{cells.col + 1, cells.row, std::max(0, cells.cols - 2), 1});
            const int length = static_cast<int>(name.size());
            screen->text(cells.col + 1 + std::max(0, (cells.cols - 2 - length) / 2), cells.row,
                         name, s);
        }
        return;
    }
    // Fit the image into the cells, keeping its shape, centred.
    const Image& image = p.image;
    const double boxW = cells.cols * kCellPxX;
    const double boxH = cells.rows * kCellPxY;
    const double scale = std::min(boxW / image.width, boxH / image.height);
    const double offX = (boxW - image.width * scale) / 2;
    const double offY = (boxH - image.height * scale) / 2;
    const int sub = options.halfBlocks ? 2 : 1;  // pixels a cell, vertically
    const double subH = kCellPxY / sub;
    for (int r = 0; r < cells.rows; ++r) {
        for (int cc = 0; cc < cells.cols; ++cc) {
            uint32_t rgb[2];
            for (int k = 0; k < sub; ++k) {
                const double px0 = cc * kCellPxX, px1 = px0 + kCellPxX;
                const double py0 = r * kCellPxY + k * subH, py1 = py0 + subH;
                rgb[k] = sample(image, (px0 - offX) / scale, (py0 - offY) / scale,
                                (px1 - offX) / scale, (py1 - offY) / scale);
            }
            Style s;
            s.role = Role::Picture;
            if (options.halfBlocks) {
                s.fg = rgb[0];
                s.bg = rgb[1];
                screen->put(cells.col + cc, cells.row + r, glyph::kUpperHalf, s);
            } else {
                s.fg = rgb[0];
                s.bg = rgb[0];
                screen->put(cells.col + cc, cells.row + r, U' ', s);
            }
        }
    }
}

void Painter::drawDropDown(Screen* screen, const DialogInfo& d, const Rect& client) {
    const ControlInfo* combo = nullptr;
    for (const ControlInfo& c : d.controls) {
        if (c.hwnd == popup_.control) combo = &c;
    }
    if (combo == nullptr || !combo->visible || !combo->enabled) {
        closePopup();
        return;
    }
    Rect cells = controlCells(*combo);
    cells.col += client.col;
    cells.row += client.row;
    const int count = static_cast<int>(combo->items.size());
    const int maxRows = std::max(1, (combo->height - kComboFieldHeight) / 8);
    const int rows = std::max(1, std::min(count, maxRows));
    Rect box{cells.col, cells.row + 1, cells.cols, rows + 2};
    if (box.row + box.rows > screen->rows()) box.row = cells.row - box.rows;  // open upwards
    popup_.highlight = std::clamp(popup_.highlight, 0, std::max(0, count - 1));
    if (popup_.highlight < popup_.top) popup_.top = popup_.highlight;
    if (popup_.highlight >= popup_.top + rows) popup_.top = popup_.highlight - rows + 1;
    popup_.top = std::clamp(popup_.top, 0, std::max(0, count - rows));

    screen->clearClip();
    screen->fill(box, styled(Role::Field));
    screen->frame(box, styled(Role::Field));
    addHit(box, Hit::Popup, d.hwnd, combo->hwnd, combo->id);
    for (int i = 0; i < rows && popup_.top + i < count; ++i) {
        const int index = popup_.top + i;
        const Rect line{box.col + 1, box.row + 1 + i, box.cols - 2, 1};
        const Style s = styled(index == popup_.highlight ? Role::Selection : Role::Field);
        screen->fill(line, s);
        screen->setClip(line);
        screen->text(line.col, line.row, utf8(combo->items[index]), s);
        screen->clearClip();
        addHit(line, Hit::ListItem, d.hwnd, combo->hwnd, combo->id, index);
    }
    if (count > rows) {
        const Style s = styled(Role::Field);
        if (popup_.top > 0) screen->put(box.col + box.cols - 1, box.row + 1, glyph::kUpArrow, s);
        if (popup_.top + rows < count) {
            screen->put(box.col + box.cols - 1, box.row + rows, glyph::kDownArrow, s);
        }
    }
}

void Painter::drawSystemMenu(Screen* screen, const DialogInfo& d, const WindowLayout& layout) {
    const std::vector<winsim::ui::MenuItem> items = menuItems(d.hwnd);
    if (items.empty()) {
        closePopup();
        return;
    }
    struct Line {
        Caption caption;
        std::string accel;
    };
    std::vector<Line> lines;
    int labelCols = 0, accelCols = 0;
    for (const winsim::ui::MenuItem& item : items) {
        Line line;
        std::string text = item.text;
        const size_t tab = text.find('\t');
        if (tab != std::string::npos) {
            line.accel = text.substr(tab + 1);
            text.erase(tab);
        }
        line.caption = parseCaption(text, false);
        labelCols = std::max(labelCols, static_cast<int>(line.caption.text.size()));
        accelCols = std::max(accelCols, static_cast<int>(line.accel.size()));
        lines.push_back(line);
    }
    const int width = 2 + labelCols + (accelCols > 0 ? 3 + accelCols : 0) + 2;
    Rect box{layout.window.col + 1, layout.window.row + 1, width,
             static_cast<int>(items.size()) + 2};
    popup_.highlight = std::clamp(popup_.highlight, 0, static_cast<int>(items.size()) - 1);
    screen->clearClip();
    screen->fill(box, styled(Role::Menu));
    screen->frame(box, styled(Role::Menu));
    addHit(box, Hit::Popup, d.hwnd, nullptr, 0);
    for (size_t i = 0; i < items.size(); ++i) {
        const int r = box.row + 1 + static_cast<int>(i);
        if (items[i].separator) {
            for (int c = box.col + 1; c < box.col + box.cols - 1; ++c) {
                screen->put(c, r, glyph::kHLine, styled(Role::Menu));
            }
            continue;
        }
        const bool highlighted = static_cast<int>(i) == popup_.highlight;
        Role role = highlighted ? Role::MenuSelection : Role::Menu;
        if (!items[i].enabled && !highlighted) role = Role::Disabled;
        const Style s = styled(role);
        const Rect line{box.col + 1, r, box.cols - 2, 1};
        screen->fill(line, s);
        drawCaption(screen, line.col + 1, r, utf8(lines[i].caption.text),
                    items[i].enabled ? lines[i].caption.underline : -1, s);
        if (!lines[i].accel.empty()) {
            screen->text(line.col + line.cols - 1 - static_cast<int>(lines[i].accel.size()), r,
                         utf8(lines[i].accel), s);
        }
        addHit(line, Hit::MenuItem, d.hwnd, nullptr, static_cast<int>(items[i].id),
               static_cast<int>(i));
    }
}

// ---- Edit views ------------------------------------------------------------------

void Painter::scrollEdit(HWND edit, int lines, bool page) {
    winsim::ui::ControlInfo c;
    if (!winsim::ui::describeControl(edit, &c)) return;
    const int step = page ? std::max(1, c.visibleLines - 1) * lines : lines;
    SendMessageA(edit, EM_LINESCROLL, 0, step);
}

void Painter::scrollEditTo(HWND edit, bool end) {
    winsim::ui::ControlInfo c;
    if (!winsim::ui::describeControl(edit, &c)) return;
    const int count = static_cast<int>(c.lines.size());
    SendMessageA(edit, EM_LINESCROLL, 0, end ? count : -count);
}

const Painter::EditView* Painter::editView(HWND edit) const {
    auto found = edits_.find(edit);
    return found == edits_.end() ? nullptr : &found->second;
}

}  // namespace tui
