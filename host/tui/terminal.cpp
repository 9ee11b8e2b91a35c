#ifndef NCURSES_WIDECHAR
#define NCURSES_WIDECHAR 1
#endif
#include "host/tui/terminal.h"

#include <curses.h>
#include <langinfo.h>
#include <term.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tui {

namespace {

// Esc then a key within this time is Alt+key; a bare Esc waits this long.
constexpr int kEscDelayMs = 25;
constexpr int kEscFollowMs = 150;
// A blocking read that fails this often in a row means the terminal is gone.
constexpr int kLostAfter = 8;

struct RoleColours {
    short fg256, bg256;
    short fg8, bg8;
    attr_t attrs8;     // added in 8/16-colour mode
    attr_t attrsMono;  // monochrome
};

// Indexed by Role. -1 = the terminal's default colour.
const RoleColours kRoles[] = {
    /* Desktop       */ {16, 30, COLOR_BLACK, COLOR_CYAN, 0, 0},
    /* Face          */ {16, 250, COLOR_BLACK, COLOR_WHITE, 0, 0},
    /* Frame         */ {16, 250, COLOR_BLACK, COLOR_WHITE, 0, 0},
    /* Title         */ {231, 18, COLOR_WHITE, COLOR_BLUE, A_BOLD, A_REVERSE},
    /* TitleInactive */ {252, 244, COLOR_WHITE, COLOR_BLACK, 0, A_UNDERLINE},
    /* Button        */ {16, 250, COLOR_BLACK, COLOR_WHITE, 0, 0},
    /* ButtonFocus   */ {231, 24, COLOR_WHITE, COLOR_BLUE, A_BOLD, A_REVERSE},
    /* Disabled      */ {244, 250, COLOR_BLACK, COLOR_WHITE, A_DIM, A_DIM},
    /* Field         */ {16, 231, COLOR_BLACK, COLOR_WHITE, 0, 0},
    /* Selection     */ {231, 18, COLOR_WHITE, COLOR_BLUE, 0, A_REVERSE},
    /* Menu          */ {16, 250, COLOR_BLACK, COLOR_WHITE, 0, 0},
    /* MenuSelection */ {231, 18, COLOR_WHITE, COLOR_BLUE, 0, A_REVERSE},
    /* Picture       */ {-1, -1, -1, -1, 0, 0},
    /* Message       */ {-1, -1, -1, -1, 0, 0},
};

chtype acsFor(char32_t ch) {
    switch (ch) {
        case glyph::kHLine:
            return ACS_HLINE;
        case glyph::kVLine:
            return ACS_VLINE;
        case glyph::kTopLeft:
            return ACS_ULCORNER;
        case glyph::kTopRight:
            return ACS_URCORNER;
        case glyph::kBottomLeft:
            return ACS_LLCORNER;
        case glyph::kBottomRight:
            return ACS_LRCORNER;
        case glyph::kUpArrow:
            return ACS_UARROW;
        case glyph::kDownArrow:
            return ACS_DARROW;
        case glyph::kBlock:
            return ACS_BLOCK;
        case glyph::kShade:
            return ACS_CKBOARD;
        default:
            return ch < 0x80 ? static_cast<chtype>(ch) : '?';
    }
}

}  // namespace

int nearestColour(uint32_t rgb, int colours) {
    const int r = static_cast<int>(rgb >> 16 & 0xFF);
    const int g = static_cast<int>(rgb >> 8 & 0xFF);
    const int b = static_cast<int>(rgb & 0xFF);
    if (colours >= 256) {
        auto level = [](int v) { return v < 48 ? 0 : v < 115 ? 1 : (v - 35) / 40; };
        static const int kSteps[] = {0, 95, 135, 175, 215, 255};
        const int lr = level(r), lg = level(g), lb = level(b);
        const int cube = 16 + 36 * lr + 6 * lg + lb;
        auto distance = [&](int cr, int cg, int cb) {
            return (cr - r) * (cr - r) + (cg - g) * (cg - g) + (cb - b) * (cb - b);
        };
        const int cubeDistance = distance(kSteps[lr], kSteps[lg], kSteps[lb]);
        const int average = (r + g + b) / 3;
        const int greyIndex = average > 238 ? 23 : std::max(0, (average - 3) / 10);
        const int grey = 8 + 10 * greyIndex;
        return distance(grey, grey, grey) < cubeDistance ? 232 + greyIndex : cube;
    }
    // The basic colours: black, red, green, yellow, blue, magenta, cyan,
    // white, and with 16 their bright forms.
    static const uint32_t kBasic[] = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080,
                                      0x008080, 0xC0C0C0, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
                                      0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
    const int count = colours >= 16 ? 16 : 8;
    int best = 0;
    long bestDistance = -1;
    for (int i = 0; i < count; ++i) {
        const int cr = static_cast<int>(kBasic[i] >> 16),
                  cg = static_cast<int>(kBasic[i] >> 8 & 0xFF),
                  cb = static_cast<int>(kBasic[i] & 0xFF);
        const long d = static_cast<long>(cr - r) * (cr - r) + static_cast<long>(cg - g) * (cg - g) +
                       static_cast<long>(cb - b) * (cb - b);
        if (bestDistance < 0 || d < bestDistance) {
            bestDistance = d;
            best = i;
        }
    }
    return best;
}

struct Terminal::ScreenHandle {
    SCREEN* screen = nullptr;
};

Terminal::~Terminal() { close(); }

bool Terminal::open(std::string* error) {
    if (screen_ != nullptr) return true;
    std::setlocale(LC_CTYPE, "");
    const char* codeset = nl_langinfo(CODESET);
    unicode_ = codeset != nullptr &&
               (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
    if (isatty(STDIN_FILENO) != 1 || isatty(STDOUT_FILENO) != 1) {
        *error = "standard input and output are not both a terminal";
        return false;
    }
    const char* term = std::getenv("TERM");
    if (term == nullptr || term[0] == '\0') {
        *error = "TERM is not set";
        return false;
    }
    set_escdelay(kEscDelayMs);
    SCREEN* s = newterm(nullptr, stdout, stdin);
    if (s == nullptr) {
        *error = std::string("unknown terminal type: ") + term;
        return false;
    }
    set_term(s);
    char cup[] = "cup";
    const char* cursorAddress = tigetstr(cup);
    if (cursorAddress == nullptr || cursorAddress == reinterpret_cast<char*>(-1)) {
        endwin();
        delscreen(s);
        *error = std::string("the terminal type ") + term + " cannot move the cursor";
        return false;
    }
    screen_ = new ScreenHandle{s};
    raw();  // Ctrl+C arrives as a key (it closes like Esc)
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    leaveok(stdscr, TRUE);
    curs_set(0);
    mousemask(BUTTON1_PRESSED | BUTTON1_CLICKED | BUTTON4_PRESSED | BUTTON5_PRESSED, nullptr);
    mouseinterval(0);
    dim_ = (termattrs() & A_DIM) != 0;
    const char* noColour = std::getenv("NO_COLOR");
    colour_ = false;
    if (has_colors() && (noColour == nullptr || noColour[0] == '\0')) {
        start_color();  // sets COLORS
        use_default_colors();
        colours_ = COLORS;
        colour_ = colours_ >= 8;
    }
    lostReads_ = 0;
    return true;
}

void Terminal::close() {
    if (screen_ == nullptr) return;
    endwin();
    delscreen(screen_->screen);
    delete screen_;
    screen_ = nullptr;
}

int Terminal::cols() const { return screen_ != nullptr ? COLS : 0; }
int Terminal::rows() const { return screen_ != nullptr ? LINES : 0; }

int Terminal::pairFor(int fg, int bg) {
    const int pair = alloc_pair(fg, bg);
    return pair < 0 ? 0 : pair;
}

void Terminal::cellAttributes(const Cell& cell, unsigned long* attrs, int* pair) {
    const RoleColours& rc = kRoles[static_cast<int>(cell.style.role)];
    attr_t a = A_NORMAL;
    *pair = 0;
    if (!colour_) {
        a |= rc.attrsMono;
    } else if (cell.style.role == Role::Picture) {
        *pair =
            pairFor(nearestColour(cell.style.fg, colours_), nearestColour(cell.style.bg, colours_));
    } else if (colours_ >= 256) {
        *pair = pairFor(rc.fg256, rc.bg256);
    } else {
        short bg = rc.bg8;
        if (cell.style.role == Role::Field && colours_ >= 16) bg = COLOR_WHITE + 8;
        *pair = pairFor(rc.fg8, bg);
        a |= rc.attrs8;
    }
    if (cell.style.bold) a |= A_BOLD;
    if (cell.style.underline) a |= A_UNDERLINE;
    *attrs = a;
}

void Terminal::show(const Screen& screen) {
    if (screen_ == nullptr) return;
    const int rows = std::min(screen.rows(), LINES);
    const int cols = std::min(screen.cols(), COLS);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const Cell& cell = screen.at(c, r);
            unsigned long attrs;
            int pair;
            cellAttributes(cell, &attrs, &pair);
            if (unicode_) {
                wchar_t text[2] = {static_cast<wchar_t>(cell.ch), L'\0'};
                cchar_t cc;
                setcchar(&cc, text, static_cast<attr_t>(attrs), 0, &pair);
                mvwadd_wch(stdscr, r, c, &cc);
            } else {
                wattr_set(stdscr, static_cast<attr_t>(attrs), 0, &pair);
                mvwaddch(stdscr, r, c, acsFor(cell.ch));
            }
        }
    }
    wattr_set(stdscr, A_NORMAL, 0, nullptr);
    wnoutrefresh(stdscr);
    doupdate();
}

void Terminal::invalidate() {
    if (screen_ != nullptr) clearok(curscr, TRUE);
}

KeyEvent Terminal::read() {
    KeyEvent event;
    if (screen_ == nullptr) {
        event.type = KeyEvent::Lost;
        return event;
    }
    wtimeout(stdscr, -1);
    int ch = wgetch(stdscr);
    if (ch == ERR) {
        if (++lostReads_ >= kLostAfter) event.type = KeyEvent::Lost;
        return event;
    }
    lostReads_ = 0;
    if (ch == KEY_RESIZE) {
        event.type = KeyEvent::Resize;
        return event;
    }
    if (ch == KEY_MOUSE) {
        MEVENT m;
        if (getmouse(&m) != OK) return event;
        event.type = KeyEvent::Mouse;
        event.col = m.x;
        event.row = m.y;
        if (m.bstate & (BUTTON1_PRESSED | BUTTON1_CLICKED)) {
            event.button = KeyEvent::Left;
        } else if (m.bstate & BUTTON4_PRESSED) {
            event.button = KeyEvent::WheelUp;
        } else if (m.bstate & BUTTON5_PRESSED) {
            event.button = KeyEvent::WheelDown;
        }
        return event;
    }
    event.type = KeyEvent::Key;
    if (ch == 27) {
        // Alt+key arrives as Esc followed by the key; so does Esc then key.
        wtimeout(stdscr, kEscFollowMs);
        const int next = wgetch(stdscr);
        wtimeout(stdscr, -1);
        if (next != ERR && next != 27 && next != KEY_RESIZE && next != KEY_MOUSE) {
            event.key = next;
            event.alt = true;
            return event;
        }
        if (next != ERR) ungetch(next);
    }
    event.key = ch;
    return event;
}

}  // namespace tui
