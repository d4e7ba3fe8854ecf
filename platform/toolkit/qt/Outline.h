#pragma once

#include "platform/toolkit/Component.h"
#include "platform/toolkit/TSet.h"

#include <QIcon>
#include <QTreeView>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// An outline: a tree of text nodes on a tree view, addressed the way the controls built on it
// expect — by a 1-based index counting every node in order (a node, then its subtree, then its next
// sibling), whether shown or not. Index 0 stands for the invisible top above the first level.
// Adding nodes moves the indices of the nodes after them. GUI thread only.
//
// Each node has the Text shown and a Name it stands for (the same unless given), so a control can
// show names in another form (another case, say) and still find what they stand for.

// How nodes are drawn: tree lines or plus/minus marks, with or without pictures.
enum TOutlineStyle : uint8_t {
    osText,
    osPlusMinusText,
    osPictureText,
    osPlusMinusPictureText,
    osTreeText,
    osTreePictureText
};
enum TOutlineOption : uint8_t { ooDrawTreeRoot, ooDrawFocusRect, ooStretchBitmaps };
using TOutlineOptions = TSet<TOutlineOption, uint8_t>;

using TOutlineEvent = std::function<void(TObject* Sender, int Index)>;

class TOutlineModel;

class TCustomOutline : public QTreeView, public TComponent {
  public:
    TCustomOutline(QWidget* Parent, TComponent* AOwner);
    ~TCustomOutline() override;
    std::string ClassName() const override { return "TCustomOutline"; }

    struct TItem {
        std::string Text, Name;
    };

    void Clear();
    int ItemCount() const;
    // A node after the last child of Index (0: a node of the first level); returns its index.
    int AddChild(int Index, const std::string& Text, const std::string& Name = {});
    // Nodes after the last child of Index, in the given order, in one step.
    void AddChildren(int Index, const std::vector<TItem>& Items);
    // A node after the last sibling of Index; returns its index.
    int Add(int Index, const std::string& Text, const std::string& Name = {});
    // A node just before Index, on its level; returns its index (the one Index had).
    int Insert(int Index, const std::string& Text, const std::string& Name = {});

    // Every operation below takes an index from 1 to ItemCount and raises ERangeError otherwise.
    std::string Text(int Index) const;
    std::string NameOf(int Index) const;
    void* Data(int Index) const;
    void SetData(int Index, void* Value);
    int Level(int Index) const;  // 1 for the first level
    int Parent(int Index) const; // 0 for the first level
    // The first child, the next sibling: -1 when there is none.
    int GetFirstChild(int Index) const;
    int GetNextChild(int Index) const;
    int GetLastChild(int Index) const;
    bool HasItems(int Index) const;
    bool IsExpanded(int Index) const;
    // Opens the node (raises OnExpand when it was closed). Subclasses that build nodes on demand
    // build them here; the view's own expansion by the user comes here too.
    virtual void Expand(int Index);
    void Collapse(int Index);
    // The texts from the second level down to the node, joined by ItemSeparator; empty for a node
    // of the first level. NamePath joins the names the same way.
    std::string FullPath(int Index) const;
    std::string NamePath(int Index) const;
    const std::string& ItemSeparator() const { return FItemSeparator; }
    void SetItemSeparator(const std::string& Value) { FItemSeparator = Value; }
    // The selected node, 0 when none; setting it shows it.
    int SelectedItem() const;
    void SetSelectedItem(int Index);
    // Where a node is drawn in the view (empty when it is not shown).
    QRect ItemRect(int Index) const;

    TOutlineStyle Style() const { return FStyle; }
    void SetStyle(TOutlineStyle Value);
    TOutlineOptions Options() const { return FOptions; }
    void SetOptions(TOutlineOptions Value);
    const QIcon& PictureClosed() const { return FPictureClosed; }
    void SetPictureClosed(const QIcon& Value);
    const QIcon& PictureOpen() const { return FPictureOpen; }
    void SetPictureOpen(const QIcon& Value);
    const QIcon& PictureLeaf() const { return FPictureLeaf; }
    void SetPictureLeaf(const QIcon& Value);
    bool Enabled() const { return isEnabled(); }
    void SetEnabled(bool Value) { setEnabled(Value); }
    // Whether the control is meant to be shown (not hidden on purpose), whether or not its window is.
    bool Visible() const {
        return !(testAttribute(Qt::WA_WState_ExplicitShowHide) && testAttribute(Qt::WA_WState_Hidden));
    }
    void SetVisible(bool Value) { setVisible(Value); }

    const TNotifyEvent& OnClick() const { return FOnClick; }
    void SetOnClick(TNotifyEvent Value) { FOnClick = std::move(Value); }
    const TOutlineEvent& OnExpand() const { return FOnExpand; }
    void SetOnExpand(TOutlineEvent Value) { FOnExpand = std::move(Value); }
    const TOutlineEvent& OnCollapse() const { return FOnCollapse; }
    void SetOnCollapse(TOutlineEvent Value) { FOnCollapse = std::move(Value); }

  protected:
    // The user picked a node (by mouse or key); the base raises OnClick.
    virtual void Click();
    // Whether a node without children yet may get some when opened (shows it as openable).
    virtual bool MayHaveChildren(int Index) const;

    void mousePressEvent(QMouseEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;

  private:
    friend class TOutlineModel;
    struct TNode;
    TNode* NodeAt(int Index) const;
    int IndexOf(const TNode* Node) const;
    void Renumber() const;
    int InsertAt(TNode* Parent, size_t Position, const std::string& Text, const std::string& Name);
    void ViewExpanded(const QModelIndex& Index);
    void ViewCollapsed(const QModelIndex& Index);
    void UpdateView();

    std::unique_ptr<TNode> FTop;
    TOutlineModel* FModel;
    mutable std::vector<TNode*> FOrder; // nodes by index - 1, rebuilt after a change
    mutable bool FOrderValid = true;
    bool FProgrammatic = false;
    std::string FItemSeparator = "\\";
    TOutlineStyle FStyle = osTreePictureText;
    TOutlineOptions FOptions{ooDrawTreeRoot, ooDrawFocusRect};
    QIcon FPictureClosed, FPictureOpen, FPictureLeaf;
    TNotifyEvent FOnClick;
    TOutlineEvent FOnExpand, FOnCollapse;
};
