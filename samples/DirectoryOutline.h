#pragma once

#include "platform/toolkit/qt/Outline.h"

#include <cstdint>
#include <functional>
#include <string>

struct TClassInfo;

enum TTextCase : uint8_t { tcLowerCase, tcUpperCase, tcAsIs };

// The directory outline: the directory tree of one drive (a letter of the drive map), each level
// read from the disk when it is first opened, the selected node kept in step with the process's
// current directory. Names are shown in the chosen case; the nodes keep the names as they are on
// disk, and those are what the directory changes use. GUI thread only — and it changes the
// process's current directory, which every thread shares.
class TCDirectoryOutline : public TCustomOutline {
  public:
    TCDirectoryOutline(QWidget* Parent, TComponent* AOwner);
    explicit TCDirectoryOutline(QWidget* Parent = nullptr) : TCDirectoryOutline(Parent, nullptr) {}
    // For the form-data reader: the owner, when it is a widget, is also the Qt parent.
    explicit TCDirectoryOutline(TComponent* AOwner);

    std::string ClassName() const override { return "TCDirectoryOutline"; }
    static const TClassInfo& StaticClassInfo();

    // The upper-case letter shown, 0 before the control knows its drive. A letter the drive map
    // does not hold raises EDriveError and changes nothing; other characters are ignored.
    char Drive() const { return FDrive; }
    void SetDrive(char Value);
    // The selected directory as "x:\a\b", in the forced case. Setting it changes the process's
    // current directory; a directory that does not exist or cannot be entered raises EDriveError
    // and keeps the old one.
    const std::string& Directory() const { return FDirectory; }
    void SetDirectory(const std::string& Value);
    TTextCase TextCase() const { return FTextCase; }
    void SetTextCase(TTextCase Value);

    std::string ForceCase(const std::string& Text) const;
    // The process's current directory in drive form, names as on disk; empty when it cannot be read.
    static std::string CurDir();
    static int DriveToInt(char Letter) { return Letter - 'A'; }

    void BuildTree();
    // Reads the node's directory and adds its subdirectories, sorted without regard to case; names
    // that begin with "." are left out. An unreadable directory gets no children.
    virtual void BuildOneLevel(int Index);
    // Builds every level below the node that is not built yet. Symbolic links are not followed and
    // no directory is entered twice, so a link loop cannot make it run for ever.
    void BuildSubTree(int Index);
    void WalkTree(const std::string& Path);
    // The child of Index named Name: the one with that name on disk, else the first whose shown
    // text equals it without regard to case; -1 when none. Opens Index first.
    int GetChildNamed(const std::string& Name, int Index);
    void Expand(int Index) override;
    void Loaded() override;

    // The Linux directory a node stands for (the drive's root for the first level).
    std::string NodeDirectory(int Index) const;

    const TNotifyEvent& OnChange() const { return FOnChange; }
    void SetOnChange(TNotifyEvent Value) { FOnChange = std::move(Value); }

    QSize sizeHint() const override { return QSize(240, 320); }

  protected:
    virtual void Change();
    void Click() override;
    bool MayHaveChildren(int Index) const override;
    void AssignCaseProc();
    // The first time the control is shown: the current directory, when no drive is set yet.
    void CreateWnd();
    void showEvent(QShowEvent* Event) override;

  private:
    bool Loading() const { return ComponentState().Contains(csLoading); }
    // Sets Directory from a drive path with names as on disk.
    void TakeDirectory(const std::string& Real);
    // The drive path of a node: "X:\" and the names on disk.
    std::string NodeDrivePath(int Index) const;

    char FDrive = 0;
    std::string FDirectory, FRealDirectory;
    TTextCase FTextCase = tcLowerCase;
    std::function<std::string(const std::string&)> FCaseFunction;
    bool FCreated = false;
    TNotifyEvent FOnChange;
};

// Makes the outline known to stored form data; idempotent.
void RegisterDirectoryOutline();
