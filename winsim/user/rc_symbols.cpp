#include "winsim/user/rc_symbols.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "winsim/api/win32_user.h"

namespace winsim::ui::detail::rc {

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool iequals(const std::string& a, const char* b) { return upper(a) == upper(b); }

// Values the system headers give a resource script. Taken from the API header
// itself so the two can never disagree.
#define QU_SYM(n) \
    { #n, static_cast < int64_t>(n) }
const std::map<std::string, int64_t>& builtinSymbols() {
    static const std::map<std::string, int64_t> table = {QU_SYM(WS_OVERLAPPED),
                                                         QU_SYM(WS_POPUP),
                                                         QU_SYM(WS_CHILD),
                                                         QU_SYM(WS_MINIMIZE),
                                                         QU_SYM(WS_VISIBLE),
                                                         QU_SYM(WS_DISABLED),
                                                         QU_SYM(WS_CLIPSIBLINGS),
                                                         QU_SYM(WS_CLIPCHILDREN),
                                                         QU_SYM(WS_MAXIMIZE),
                                                         QU_SYM(WS_CAPTION),
                                                         QU_SYM(WS_BORDER),
                                                         QU_SYM(WS_DLGFRAME),
                                                         QU_SYM(WS_VSCROLL),
                                                         QU_SYM(WS_HSCROLL),
                                                         QU_SYM(WS_SYSMENU),
                                                         QU_SYM(WS_THICKFRAME),
                                                         QU_SYM(WS_GROUP),
                                                         QU_SYM(WS_TABSTOP),
                                                         QU_SYM(WS_MINIMIZEBOX),
                                                         QU_SYM(WS_MAXIMIZEBOX),
                                                         QU_SYM(WS_OVERLAPPEDWINDOW),
                                                         QU_SYM(WS_POPUPWINDOW),
                                                         QU_SYM(WS_EX_DLGMODALFRAME),
                                                         QU_SYM(WS_EX_NOPARENTNOTIFY),
                                                         QU_SYM(WS_EX_TOPMOST),
                                                         QU_SYM(WS_EX_ACCEPTFILES),
                                                         QU_SYM(WS_EX_TRANSPARENT),
                                                         QU_SYM(WS_EX_TOOLWINDOW),
                                                         QU_SYM(WS_EX_WINDOWEDGE),
                                                         QU_SYM(WS_EX_CLIENTEDGE),
                                                         QU_SYM(WS_EX_CONTEXTHELP),
                                                         QU_SYM(WS_EX_RIGHT),
                                                         QU_SYM(WS_EX_LEFT),
                                                         QU_SYM(WS_EX_STATICEDGE),
                                                         QU_SYM(WS_EX_APPWINDOW),
                                                         QU_SYM(DS_ABSALIGN),
                                                         QU_SYM(DS_SYSMODAL),
                                                         QU_SYM(DS_3DLOOK),
                                                         QU_SYM(DS_FIXEDSYS),
                                                         QU_SYM(DS_NOFAILCREATE),
                                                         QU_SYM(DS_LOCALEDIT),
                                                         QU_SYM(DS_SETFONT),
                                                         QU_SYM(DS_MODALFRAME),
                                                         QU_SYM(DS_NOIDLEMSG),
                                                         QU_SYM(DS_SETFOREGROUND),
                                                         QU_SYM(DS_CONTROL),
                                                         QU_SYM(DS_CENTER),
                                                         QU_SYM(DS_CENTERMOUSE),
                                                         QU_SYM(DS_CONTEXTHELP),
                                                         QU_SYM(DS_SHELLFONT),
                                                         QU_SYM(BS_PUSHBUTTON),
                                                         QU_SYM(BS_DEFPUSHBUTTON),
                                                         QU_SYM(BS_CHECKBOX),
                                                         QU_SYM(BS_AUTOCHECKBOX),
                                                         QU_SYM(BS_RADIOBUTTON),
                                                         QU_SYM(BS_3STATE),
                                                         QU_SYM(BS_AUTO3STATE),
                                                         QU_SYM(BS_GROUPBOX),
                                                         QU_SYM(BS_USERBUTTON),
                                                         QU_SYM(BS_AUTORADIOBUTTON),
                                                         QU_SYM(BS_PUSHBOX),
                                                         QU_SYM(BS_OWNERDRAW),
                                                         QU_SYM(BS_TYPEMASK),
                                                         QU_SYM(BS_LEFTTEXT),
                                                         QU_SYM(BS_TEXT),
                                                         QU_SYM(BS_ICON),
                                                         QU_SYM(BS_BITMAP),
                                                         QU_SYM(BS_LEFT),
                                                         QU_SYM(BS_RIGHT),
                                                         QU_SYM(BS_CENTER),
                                                         QU_SYM(BS_TOP),
                                                         QU_SYM(BS_BOTTOM),
                                                         QU_SYM(BS_VCENTER),
                                                         QU_SYM(BS_MULTILINE),
                                                         QU_SYM(BS_NOTIFY),
                                                         QU_SYM(BS_FLAT),
                                                         QU_SYM(CBS_SIMPLE),
                                                         QU_SYM(CBS_DROPDOWN),
                                                         QU_SYM(CBS_DROPDOWNLIST),
                                                         QU_SYM(CBS_OWNERDRAWFIXED),
                                                         QU_SYM(CBS_OWNERDRAWVARIABLE),
                                                         QU_SYM(CBS_AUTOHSCROLL),
                                                         QU_SYM(CBS_OEMCONVERT),
                                                         QU_SYM(CBS_SORT),
                                                         QU_SYM(CBS_HASSTRINGS),
                                                         QU_SYM(CBS_NOINTEGRALHEIGHT),
                                                         QU_SYM(CBS_DISABLENOSCROLL),
                                                         QU_SYM(CBS_UPPERCASE),
                                                         QU_SYM(CBS_LOWERCASE),
                                                         QU_SYM(ES_LEFT),
                                                         QU_SYM(ES_CENTER),
                                                         QU_SYM(ES_RIGHT),
                                                         QU_SYM(ES_MULTILINE),
                                                         QU_SYM(ES_UPPERCASE),
                                                         QU_SYM(ES_LOWERCASE),
                                                         QU_SYM(ES_PASSWORD),
                                                         QU_SYM(ES_AUTOVSCROLL),
                                                         QU_SYM(ES_AUTOHSCROLL),
                                                         QU_SYM(ES_NOHIDESEL),
                                                         QU_SYM(ES_OEMCONVERT),
                                                         QU_SYM(ES_READONLY),
                                                         QU_SYM(ES_WANTRETURN),
                                                         QU_SYM(ES_NUMBER),
                                                         QU_SYM(SS_LEFT),
                                                         QU_SYM(SS_CENTER),
                                                         QU_SYM(SS_RIGHT),
                                                         QU_SYM(SS_ICON),
                                                         QU_SYM(SS_BLACKRECT),
                                                         QU_SYM(SS_GRAYRECT),
                                                         QU_SYM(SS_WHITERECT),
                                                         QU_SYM(SS_BLACKFRAME),
                                                         QU_SYM(SS_GRAYFRAME),
                                                         QU_SYM(SS_WHITEFRAME),
                                                         QU_SYM(SS_SIMPLE),
                                                         QU_SYM(SS_LEFTNOWORDWRAP),
                                                         QU_SYM(SS_OWNERDRAW),
                                                         QU_SYM(SS_BITMAP),
                                                         QU_SYM(SS_ETCHEDHORZ),
                                                         QU_SYM(SS_ETCHEDVERT),
                                                         QU_SYM(SS_ETCHEDFRAME),
                                                         QU_SYM(SS_TYPEMASK),
                                                         QU_SYM(SS_REALSIZECONTROL),
                                                         QU_SYM(SS_NOPREFIX),
                                                         QU_SYM(SS_NOTIFY),
                                                         QU_SYM(SS_CENTERIMAGE),
                                                         QU_SYM(SS_RIGHTJUST),
                                                         QU_SYM(SS_REALSIZEIMAGE),
                                                         QU_SYM(SS_SUNKEN),
                                                         QU_SYM(SS_EDITCONTROL),
                                                         QU_SYM(SS_ENDELLIPSIS),
                                                         QU_SYM(SS_PATHELLIPSIS),
                                                         QU_SYM(SS_WORDELLIPSIS),
                                                         QU_SYM(LBS_NOTIFY),
                                                         QU_SYM(LBS_SORT),
                                                         QU_SYM(LBS_NOINTEGRALHEIGHT),
                                                         QU_SYM(LBS_STANDARD),
                                                         QU_SYM(SBS_HORZ),
                                                         QU_SYM(SBS_VERT),
                                                         QU_SYM(IDOK),
                                                         QU_SYM(IDCANCEL),
                                                         QU_SYM(IDABORT),
                                                         QU_SYM(IDRETRY),
                                                         QU_SYM(IDIGNORE),
                                                         QU_SYM(IDYES),
                                                         QU_SYM(IDNO),
                                                         {"IDC_STATIC", -1}};
    return table;
}
#undef QU_SYM

bool isSystemHeader(const std::string& name) {
    static const std::set<std::string> known = {
        "windows.h",  "winres.h",   "afxres.h", "winresrc.h", "winuser.h",
        "winuser.rh", "commctrl.h", "winver.h", "verrsrc.h",  "winnt.h",
        "dlgs.h",     "richedit.h", "prsht.h"};
    return known.count(lower(name)) != 0;
}

std::string normalisePath(std::string s) {
    std::replace(s.begin(), s.end(), '\\', '/');
    while (s.rfind("./", 0) == 0) s.erase(0, 2);
    return lower(s);
}

std::string baseName(const std::string& s) {
    const size_t slash = s.find_last_of('/');
    return slash == std::string::npos ? s : s.substr(slash + 1);
}

const ResourceFile* findFile(const std::vector<ResourceFile>& files, const std::string& name) {
    const std::string wanted = normalisePath(name);
    for (const ResourceFile& f : files) {
        if (normalisePath(f.name) == wanted) return &f;
    }
    for (const ResourceFile& f : files) {
        if (baseName(normalisePath(f.name)) == baseName(wanted)) return &f;
    }
    return nullptr;
}

}  // namespace winsim::ui::detail::rc
