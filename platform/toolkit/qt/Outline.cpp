#include "platform/toolkit/qt/Outline.h"

#include "platform/toolkit/Exception.h"
#include "platform/toolkit/ShowException.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyle>

struct TCustomOutline::TNode {
    std::string Text, Name;
    void* Data = nullptr;
    TNode* Parent = nullptr;
    int Row = 0; // position among its siblings
    bool Expanded = false;
    mutable int Index = 0;
    std::vector<std::unique_ptr<TNode>> Children;
};

// The nodes as a Qt model: one column, the node pointer as the internal pointer.
class TOutlineModel : public QAbstractItemModel {
  public:
    using TNode = TCustomOutline::TNode;
    explicit TOutlineModel(TCustomOutline& Outline) : QAbstractItemModel(&Outline), FOutline(Outline) {}

    QModelIndex IndexOf(const TNode* Node) const {
        if (!Node || Node == FOutline.FTop.get()) return {};
        return createIndex(Node->Row, 0, const_cast<TNode*>(Node));
    }
    static TNode* NodeOf(const QModelIndex& Index) { return static_cast<TNode*>(Index.internalPointer()); }
    TNode* NodeOrTop(const QModelIndex& Index) const {
        return Index.isValid() ? NodeOf(Index) : FOutline.FTop.get();
    }

    QModelIndex index(int Row, int Column, const QModelIndex& Parent) const override {
        const TNode* p = NodeOrTop(Parent);
        if (Column != 0 || Row < 0 || static_cast<size_t>(Row) >= p->Children.size()) return {};
        return createIndex(Row, 0, p->Children[static_cast<size_t>(Row)].get());
    }
    QModelIndex parent(const QModelIndex& Child) const override {
        return Child.isValid() ? IndexOf(NodeOf(Child)->Parent) : QModelIndex();
    }
    int rowCount(const QModelIndex& Parent) const override {
        return Parent.column() > 0 ? 0 : static_cast<int>(NodeOrTop(Parent)->Children.size());
    }
    int columnCount(const QModelIndex&) const override { return 1; }
    bool hasChildren(const QModelIndex& Parent) const override {
        const TNode* p = NodeOrTop(Parent);
        return !p->Children.empty() || (Parent.isValid() && FOutline.MayHaveChildren(FOutline.IndexOf(p)));
    }
    QVariant data(const QModelIndex& Index, int Role) const override {
        if (!Index.isValid()) return {};
        const TNode* n = NodeOf(Index);
        if (Role == Qt::DisplayRole) return QString::fromStdString(n->Text);
        if (Role == Qt::DecorationRole) {
            const TOutlineStyle s = FOutline.FStyle;
            if (s != osPictureText && s != osPlusMinusPictureText && s != osTreePictureText) return {};
            if (n->Children.empty() && !FOutline.MayHaveChildren(FOutline.IndexOf(n)))
                return FOutline.FPictureLeaf;
            return n->Expanded ? FOutline.FPictureOpen : FOutline.FPictureClosed;
        }
        return {};
    }

    void BeginInsert(TNode* Parent, int First, int Last) { beginInsertRows(IndexOf(Parent), First, Last); }
    void EndInsert() { endInsertRows(); }
    void BeginReset() { beginResetModel(); }
    void EndReset() { endResetModel(); }
    void Changed(TNode* Node) {
        QModelIndex i = IndexOf(Node);
        if (i.isValid()) emit dataChanged(i, i);
    }

  private:
    TCustomOutline& FOutline;
};

TCustomOutline::TCustomOutline(QWidget* Parent, TComponent* AOwner)
    : QTreeView(Parent), TComponent(AOwner, coDeletedElsewhere), FTop(std::make_unique<TNode>()),
      FModel(new TOutlineModel(*this)) {
    setModel(FModel);
    setHeaderHidden(true);
    setUniformRowHeights(true);
    setEditTriggers(NoEditTriggers);
    setSelectionMode(SingleSelection);
    FPictureClosed = style()->standardIcon(QStyle::SP_DirClosedIcon);
    FPictureOpen = style()->standardIcon(QStyle::SP_DirOpenIcon);
    FPictureLeaf = style()->standardIcon(QStyle::SP_FileIcon);
    UpdateView();
    connect(this, &QTreeView::expanded, this, [this](const QModelIndex& I) { ViewExpanded(I); });
    connect(this, &QTreeView::collapsed, this, [this](const QModelIndex& I) { ViewCollapsed(I); });
}

TCustomOutline::~TCustomOutline() {
    // The view lets go of the model before the nodes it points into go.
    setModel(nullptr);
}

void TCustomOutline::Renumber() const {
    if (FOrderValid) return;
    FOrder.clear();
    std::vector<const TNode*> stack;
    for (auto it = FTop->Children.rbegin(); it != FTop->Children.rend(); ++it)
        stack.push_back(it->get());
    while (!stack.empty()) {
        const TNode* n = stack.back();
        stack.pop_back();
        FOrder.push_back(const_cast<TNode*>(n));
        n->Index = static_cast<int>(FOrder.size());
        for (auto it = n->Children.rbegin(); it != n->Children.rend(); ++it)
            stack.push_back(it->get());
    }
    FOrderValid = true;
}

TCustomOutline::TNode* TCustomOutline::NodeAt(int Index) const {
    Renumber();
    if (Index < 1 || static_cast<size_t>(Index) > FOrder.size())
        throw ERangeError("Outline index out of range");
    return FOrder[static_cast<size_t>(Index) - 1];
}

int TCustomOutline::IndexOf(const TNode* Node) const {
    if (!Node || Node == FTop.get()) return 0;
    Renumber();
    return Node->Index;
}

int TCustomOutline::ItemCount() const {
    Renumber();
    return static_cast<int>(FOrder.size());
}

void TCustomOutline::Clear() {
    FModel->BeginReset();
    FTop->Children.clear();
    FOrder.clear();
    FOrderValid = true;
    FModel->EndReset();
}

int TCustomOutline::InsertAt(TNode* Parent, size_t Position, const std::string& Text,
                             const std::string& Name) {
    auto node = std::make_unique<TNode>();
    node->Text = Text;
    node->Name = Name.empty() ? Text : Name;
    node->Parent = Parent;
    TNode* added = node.get();
    const int row = static_cast<int>(Position);
    FModel->BeginInsert(Parent, row, row);
    Parent->Children.insert(Parent->Children.begin() + static_cast<long>(Position), std::move(node));
    for (size_t i = Position; i < Parent->Children.size(); ++i)
        Parent->Children[i]->Row = static_cast<int>(i);
    FOrderValid = false;
    FModel->EndInsert();
    FModel->Changed(Parent);
    return IndexOf(added);
}

int TCustomOutline::AddChild(int Index, const std::string& Text, const std::string& Name) {
    TNode* parent = Index == 0 ? FTop.get() : NodeAt(Index);
    return InsertAt(parent, parent->Children.size(), Text, Name);
}

void TCustomOutline::AddChildren(int Index, const std::vector<TItem>& Items) {
    if (Items.empty()) return;
    TNode* parent = Index == 0 ? FTop.get() : NodeAt(Index);
    const size_t first = parent->Children.size();
    FModel->BeginInsert(parent, static_cast<int>(first), static_cast<int>(first + Items.size() - 1));
    for (const TItem& item : Items) {
        auto node = std::make_unique<TNode>();
        node->Text = item.Text;
        node->Name = item.Name.empty() ? item.Text : item.Name;
        node->Parent = parent;
        node->Row = static_cast<int>(parent->Children.size());
        parent->Children.push_back(std::move(node));
    }
    FOrderValid = false;
    FModel->EndInsert();
    FModel->Changed(parent);
}

int TCustomOutline::Add(int Index, const std::string& Text, const std::string& Name) {
    TNode* parent = Index == 0 ? FTop.get() : NodeAt(Index)->Parent;
    return InsertAt(parent, parent->Children.size(), Text, Name);
}

int TCustomOutline::Insert(int Index, const std::string& Text, const std::string& Name) {
    TNode* at = NodeAt(Index);
    return InsertAt(at->Parent, static_cast<size_t>(at->Row), Text, Name);
}

std::string TCustomOutline::Text(int Index) const {
    return NodeAt(Index)->Text;
}

std::string TCustomOutline::NameOf(int Index) const {
    return NodeAt(Index)->Name;
}

void* TCustomOutline::Data(int Index) const {
    return NodeAt(Index)->Data;
}

void TCustomOutline::SetData(int Index, void* Value) {
    TNode* n = NodeAt(Index);
    n->Data = Value;
    // Whether it may have children can depend on its data.
    FModel->Changed(n);
}

int TCustomOutline::Level(int Index) const {
    int level = 0;
    for (const TNode* n = NodeAt(Index); n != FTop.get(); n = n->Parent)
        ++level;
    return level;
}

int TCustomOutline::Parent(int Index) const {
    return IndexOf(NodeAt(Index)->Parent);
}

int TCustomOutline::GetFirstChild(int Index) const {
    const TNode* n = NodeAt(Index);
    return n->Children.empty() ? -1 : IndexOf(n->Children.front().get());
}

int TCustomOutline::GetLastChild(int Index) const {
    const TNode* n = NodeAt(Index);
    return n->Children.empty() ? -1 : IndexOf(n->Children.back().get());
}

int TCustomOutline::GetNextChild(int Index) const {
    const TNode* n = NodeAt(Index);
    const auto next = static_cast<size_t>(n->Row) + 1;
    return next < n->Parent->Children.size() ? IndexOf(n->Parent->Children[next].get()) : -1;
}

bool TCustomOutline::HasItems(int Index) const {
    return !NodeAt(Index)->Children.empty();
}

bool TCustomOutline::IsExpanded(int Index) const {
    return NodeAt(Index)->Expanded;
}

void TCustomOutline::Expand(int Index) {
    TNode* n = NodeAt(Index);
    const bool was = n->Expanded;
    n->Expanded = true;
    {
        QSignalBlocker quiet(this);
        QTreeView::expand(FModel->IndexOf(n));
    }
    FModel->Changed(n);
    if (!was && FOnExpand) FOnExpand(this, Index);
}

void TCustomOutline::Collapse(int Index) {
    TNode* n = NodeAt(Index);
    const bool was = n->Expanded;
    n->Expanded = false;
    {
        QSignalBlocker quiet(this);
        QTreeView::collapse(FModel->IndexOf(n));
    }
    FModel->Changed(n);
    if (was && FOnCollapse) FOnCollapse(this, Index);
}

// The view's own opening and closing by the user, and the user's picks, run in Qt's event handling:
// an error there is shown and the control carries on.
void TCustomOutline::ViewExpanded(const QModelIndex& I) {
    try {
        TNode* n = TOutlineModel::NodeOf(I);
        if (n && !n->Expanded) Expand(IndexOf(n));
    } catch (...) {
        ShowException(std::current_exception());
    }
}

void TCustomOutline::ViewCollapsed(const QModelIndex& I) {
    try {
        TNode* n = TOutlineModel::NodeOf(I);
        if (n && n->Expanded) Collapse(IndexOf(n));
    } catch (...) {
        ShowException(std::current_exception());
    }
}

namespace {

std::string JoinPath(const std::vector<const std::string*>& Parts, const std::string& Separator) {
    std::string out;
    for (auto it = Parts.rbegin(); it != Parts.rend(); ++it) {
        if (!out.empty()) out += Separator;
        out += **it;
    }
    return out;
}

} // namespace

std::string TCustomOutline::FullPath(int Index) const {
    std::vector<const std::string*> parts;
    for (const TNode* n = NodeAt(Index); n->Parent != FTop.get(); n = n->Parent)
        parts.push_back(&n->Text);
    return JoinPath(parts, FItemSeparator);
}

std::string TCustomOutline::NamePath(int Index) const {
    std::vector<const std::string*> parts;
    for (const TNode* n = NodeAt(Index); n->Parent != FTop.get(); n = n->Parent)
        parts.push_back(&n->Name);
    return JoinPath(parts, FItemSeparator);
}

int TCustomOutline::SelectedItem() const {
    QModelIndex i = currentIndex();
    return i.isValid() ? IndexOf(TOutlineModel::NodeOf(i)) : 0;
}

void TCustomOutline::SetSelectedItem(int Index) {
    QModelIndex i = Index == 0 ? QModelIndex() : FModel->IndexOf(NodeAt(Index));
    setCurrentIndex(i);
    if (i.isValid()) scrollTo(i);
}

QRect TCustomOutline::ItemRect(int Index) const {
    return visualRect(FModel->IndexOf(NodeAt(Index)));
}

void TCustomOutline::SetStyle(TOutlineStyle Value) {
    if (Value == FStyle) return;
    FStyle = Value;
    UpdateView();
}

void TCustomOutline::SetOptions(TOutlineOptions Value) {
    if (Value == FOptions) return;
    FOptions = Value;
    UpdateView();
}

void TCustomOutline::SetPictureClosed(const QIcon& Value) {
    FPictureClosed = Value;
    viewport()->update();
}

void TCustomOutline::SetPictureOpen(const QIcon& Value) {
    FPictureOpen = Value;
    viewport()->update();
}

void TCustomOutline::SetPictureLeaf(const QIcon& Value) {
    FPictureLeaf = Value;
    viewport()->update();
}

void TCustomOutline::UpdateView() {
    setRootIsDecorated(FOptions.Contains(ooDrawTreeRoot));
    setItemsExpandable(FStyle != osText && FStyle != osPictureText);
    viewport()->update();
}

bool TCustomOutline::MayHaveChildren(int) const {
    return false;
}

void TCustomOutline::Click() {
    if (FOnClick) FOnClick(this);
}

void TCustomOutline::mousePressEvent(QMouseEvent* Event) {
    QTreeView::mousePressEvent(Event);
    // A press on a node's row picks it; one on its open/close mark leaves the pick where it was.
    const QModelIndex under = indexAt(Event->position().toPoint());
    if (Event->button() != Qt::LeftButton || !under.isValid() || under != currentIndex()) return;
    try {
        Click();
    } catch (...) {
        ShowException(std::current_exception());
    }
}

void TCustomOutline::keyPressEvent(QKeyEvent* Event) {
    const QModelIndex before = currentIndex();
    QTreeView::keyPressEvent(Event);
    if (currentIndex() == before || !currentIndex().isValid()) return;
    try {
        Click();
    } catch (...) {
        ShowException(std::current_exception());
    }
}
