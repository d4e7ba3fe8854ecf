#include "samples/DirectoryOutline.h"

#include "platform/drives/DriveDirs.h"
#include "platform/toolkit/FormData.h"
#include "platform/toolkit/Text.h"

#include <QCollator>
#include <QLocale>

#include <algorithm>
#include <set>
#include <sys/stat.h>

namespace {

QWidget* ParentOf(TComponent* AOwner) {
    return dynamic_cast<QWidget*>(AOwner);
}

// A node's data once its level has been read.
int BuiltMarkerStorage = 0;
void* const BuiltMarker = &BuiltMarkerStorage;

// BuildSubTree goes no deeper than this below its node.
constexpr int MaxSubTreeDepth = 64;

QString Q(const std::string& S) {
    return QString::fromUtf8(S.data(), static_cast<qsizetype>(S.size()));
}

std::string CaseFold(std::string_view S) {
    return QString::fromUtf8(S.data(), static_cast<qsizetype>(S.size())).toCaseFolded().toStdString();
}

} // namespace

TCDirectoryOutline::TCDirectoryOutline(QWidget* Parent, TComponent* AOwner) : TCustomOutline(Parent, AOwner) {
    SetStyle(osTreePictureText);
    SetOptions({ooDrawFocusRect, ooStretchBitmaps});
    SetPictureLeaf(PictureClosed());
    AssignCaseProc();
}

TCDirectoryOutline::TCDirectoryOutline(TComponent* AOwner) : TCDirectoryOutline(ParentOf(AOwner), AOwner) {}

void TCDirectoryOutline::AssignCaseProc() {
    switch (FTextCase) {
    case tcLowerCase:
        FCaseFunction = [this](const std::string& S) { return locale().toLower(Q(S)).toStdString(); };
        break;
    case tcUpperCase:
        FCaseFunction = [this](const std::string& S) { return locale().toUpper(Q(S)).toStdString(); };
        break;
    default:
        FCaseFunction = nullptr;
        break;
    }
}

std::string TCDirectoryOutline::ForceCase(const std::string& Text) const {
    return FCaseFunction ? FCaseFunction(Text) : Text;
}

std::string TCDirectoryOutline::CurDir() {
    return GetCurrentDir();
}

void TCDirectoryOutline::Change() {
    if (FOnChange) FOnChange(this);
}

void TCDirectoryOutline::TakeDirectory(const std::string& Real) {
    FRealDirectory = Real;
    FDirectory = ForceCase(Real);
}

std::string TCDirectoryOutline::NodeDrivePath(int Index) const {
    return std::string(1, FDrive) + ":\\" + NamePath(Index);
}

std::string TCDirectoryOutline::NodeDirectory(int Index) const {
    return LinuxPathOf(*ParseFullDrivePath(NodeDrivePath(Index)), CurrentDriveMap());
}

void TCDirectoryOutline::BuildTree() {
    Clear();
    if (FDrive == 0) return;
    AddChild(0, ForceCase(std::string(1, FDrive) + ":"));
    WalkTree(FRealDirectory);
    Change();
}

void TCDirectoryOutline::BuildOneLevel(int Index) {
    // A level is read once; reading it again would add its children twice.
    if (Data(Index)) return;
    SetData(Index, BuiltMarker);
    TSubdirectories found;
    try {
        found = ListSubdirectories(NodeDirectory(Index));
    } catch (const EDriveError&) {
        return; // the drive left the map: nothing to read
    }
    // An unreadable directory simply has no children.
    if (found.Error) return;
    struct TEntry {
        QString Key;
        std::string Name;
    };
    std::vector<TEntry> entries;
    entries.reserve(found.Names.size());
    for (auto& n : found.Names)
        entries.push_back({Q(n), n});
    QCollator collator(locale());
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    // Names equal without regard to case keep one fixed order (by bytes), the order a name given
    // in another case is mapped back to the disk in.
    std::sort(entries.begin(), entries.end(), [&](const TEntry& A, const TEntry& B) {
        const int c = collator.compare(A.Key, B.Key);
        return c != 0 ? c < 0 : A.Name < B.Name;
    });
    std::vector<TItem> items;
    items.reserve(entries.size());
    for (auto& e : entries)
        items.push_back({ForceCase(e.Name), e.Name});
    AddChildren(Index, items);
}

void TCDirectoryOutline::BuildSubTree(int Index) {
    std::set<std::pair<dev_t, ino_t>> visited;
    std::function<void(int, int)> build = [&](int Node, int Depth) {
        struct stat st {};
        const std::string dir = NodeDirectory(Node);
        // A link is shown but not entered; a directory met before (a bind mount) is not read again.
        if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
        if (!visited.insert({st.st_dev, st.st_ino}).second || Depth > MaxSubTreeDepth) return;
        BuildOneLevel(Node);
        for (int c = GetFirstChild(Node); c != -1; c = GetNextChild(c))
            build(c, Depth + 1);
    };
    build(Index, 0);
}

void TCDirectoryOutline::Expand(int Index) {
    if (!Data(Index)) BuildOneLevel(Index);
    TCustomOutline::Expand(Index);
}

bool TCDirectoryOutline::MayHaveChildren(int Index) const {
    return Data(Index) == nullptr;
}

int TCDirectoryOutline::GetChildNamed(const std::string& Name, int Index) {
    Expand(Index);
    for (int c = GetFirstChild(Index); c != -1; c = GetNextChild(c))
        if (NameOf(c) == Name) return c;
    const QString wanted = locale().toUpper(Q(Name));
    for (int c = GetFirstChild(Index); c != -1; c = GetNextChild(c))
        if (locale().toUpper(Q(Text(c))) == wanted) return c;
    return -1;
}

void TCDirectoryOutline::WalkTree(const std::string& Path) {
    if (ItemCount() == 0) return;
    std::string_view p = Path;
    // Only a drive's colon is dropped: Linux names may hold colons of their own.
    if (p.size() >= 2 && p[1] == ':') p.remove_prefix(2);
    int node = 1;
    Expand(node);
    while (!p.empty()) {
        size_t cut = p.find('\\');
        std::string name(p.substr(0, cut));
        p.remove_prefix(cut == std::string_view::npos ? p.size() : cut + 1);
        if (name.empty()) continue;
        const int child = GetChildNamed(name, node);
        // A name that is not there ends the walk at the deepest node found.
        if (child == -1) break;
        node = child;
    }
    SetSelectedItem(node);
}

void TCDirectoryOutline::SetDirectory(const std::string& Value) {
    if (Value.empty()) return;
    TResolvedPath r = ResolveDrivePath(ExpandDrivePath(Value), CurrentDriveMap(), CaseFold);
    const std::string real = r.Real.Text();
    if (real == FRealDirectory) return;
    // The directory is changed first, so a refusal keeps Directory as it was.
    SetCurrentDir(real, CaseFold);
    TakeDirectory(real);
    if (r.Real.Drive == FDrive) {
        WalkTree(FRealDirectory);
        Change();
    } else {
        SetDrive(r.Real.Drive);
    }
}

void TCDirectoryOutline::SetDrive(char Value) {
    const char v = UpperAscii(Value);
    if (v < 'A' || v > 'Z' || v == FDrive) return;
    SetCurrentDrive(v);
    FDrive = v;
    TakeDirectory(CurDir());
    if (!Loading()) BuildTree();
}

void TCDirectoryOutline::SetTextCase(TTextCase Value) {
    if (Value == FTextCase) return;
    FTextCase = Value;
    AssignCaseProc();
    if (Value == tcAsIs) {
        const std::string cur = CurDir();
        if (!cur.empty()) {
            FDrive = cur[0];
            FRealDirectory = cur;
        }
    }
    TakeDirectory(FRealDirectory);
    if (!Loading()) BuildTree();
}

void TCDirectoryOutline::CreateWnd() {
    if (FDrive == 0) {
        const std::string cur = CurDir();
        if (!cur.empty()) {
            FDrive = cur[0];
            TakeDirectory(cur);
        }
    }
    if (!Loading()) BuildTree();
}

void TCDirectoryOutline::showEvent(QShowEvent* Event) {
    if (!FCreated) {
        FCreated = true;
        CreateWnd();
    }
    TCustomOutline::showEvent(Event);
}

void TCDirectoryOutline::Loaded() {
    TCustomOutline::Loaded();
    AssignCaseProc();
    BuildTree();
}

void TCDirectoryOutline::Click() {
    TCustomOutline::Click();
    // The first level stands for the drive's root.
    if (const int selected = SelectedItem(); selected > 0) SetDirectory(NodeDrivePath(selected));
}

namespace {

const TClassInfo& RegisterDirectoryOutlineClass() {
    using C = TCDirectoryOutline;
    return TPublished<C>("TCDirectoryOutline", "TComponent")
        .Event<TNotifyEvent>("OnChange", &C::OnChange, &C::SetOnChange)
        .Enum("TextCase", &C::TextCase, &C::SetTextCase, {"tcLowerCase", "tcUpperCase", "tcAsIs"},
              Default(tcLowerCase))
        .Bool("Enabled", &C::Enabled, &C::SetEnabled, Default(true))
        .Event<TNotifyEvent>("OnClick", &C::OnClick, &C::SetOnClick)
        .Event<TOutlineEvent>("OnCollapse", &C::OnCollapse, &C::SetOnCollapse)
        .Event<TOutlineEvent>("OnExpand", &C::OnExpand, &C::SetOnExpand)
        .Set("Options", &C::Options, &C::SetOptions,
             {"ooDrawTreeRoot", "ooDrawFocusRect", "ooStretchBitmaps"},
             Default(TOutlineOptions{ooDrawFocusRect, ooStretchBitmaps}))
        .Enum("Style", &C::Style, &C::SetStyle,
              {"osText", "osPlusMinusText", "osPictureText", "osPlusMinusPictureText", "osTreeText",
               "osTreePictureText"},
              Default(osTreePictureText))
        .Bool("Visible", &C::Visible, &C::SetVisible, Default(true))
        .Register();
}

} // namespace

const TClassInfo& TCDirectoryOutline::StaticClassInfo() {
    static const TClassInfo& info = RegisterDirectoryOutlineClass();
    return info;
}

void RegisterDirectoryOutline() {
    TCDirectoryOutline::StaticClassInfo();
}
