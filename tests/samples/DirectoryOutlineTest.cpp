#include "platform/drives/DriveDirs.h"
#include "samples/Cdiroutl.h"
#include "support/ShowExceptionRecorder.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QMouseEvent>
#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

// Counts the levels it reads, to show each is read once.
class TCountingOutline : public TCDirectoryOutline {
  public:
    using TCDirectoryOutline::TCDirectoryOutline;
    void BuildOneLevel(int Index) override {
        if (!Data(Index)) ++Reads;
        TCDirectoryOutline::BuildOneLevel(Index);
    }
    int Reads = 0;
};

// Drive C and D on temporary trees with mixed-case names, dot-names, a file and a link loop.
class OutlineFixture : public testing::Test {
  protected:
    void SetUp() override {
        FOld = fs::current_path();
        for (const char* d : {"c/alpha", "c/Bravo/Inner/Deepest", "c/charlie", "c/.hidden", "c/Foo", "c/FOO",
                              "c/Zulu", "d/Docs/Letters"})
            fs::create_directories(FTmp.Path() / d);
        Spit(FTmp.File("c/file.txt"), "x");
        fs::create_directory_symlink("..", FTmp.Path() / "c/Bravo/Loop");
        fs::create_directory_symlink(".", FTmp.Path() / "c/Bravo/Self");
        SetDriveMapOverride(std::vector<TDriveMapEntry>{{'C', C()}, {'D', FTmp.File("d")}});
        ResetDriveDirectories();
        SetCurrentDir("c:\\");
        FOutline = std::make_unique<TCountingOutline>();
        FOutline->setLocale(QLocale(QLocale::English, QLocale::UnitedStates));
        FOutline->resize(300, 400);
        FOutline->SetOnChange([this](TObject*) { ++FChanges; });
        FOutline->show(); // takes the current directory
    }
    void TearDown() override {
        FOutline.reset();
        fs::current_path(FOld);
        SetDriveMapOverride(std::nullopt);
        ResetDriveDirectories();
    }
    std::string C(const std::string& Rel = "") const {
        return FTmp.File("c") + (Rel.empty() ? "" : "/" + Rel);
    }

    std::vector<std::string> Children(int Index, bool Names = false) const {
        std::vector<std::string> out;
        for (int c = FOutline->GetFirstChild(Index); c != -1; c = FOutline->GetNextChild(c))
            out.push_back(Names ? FOutline->NameOf(c) : FOutline->Text(c));
        return out;
    }
    int Child(int Index, const std::string& Name) const {
        for (int c = FOutline->GetFirstChild(Index); c != -1; c = FOutline->GetNextChild(c))
            if (FOutline->NameOf(c) == Name) return c;
        return -1;
    }
    void ClickItem(int Index) {
        QRect r = FOutline->ItemRect(Index);
        QPointF at(r.center());
        QWidget* vp = FOutline->viewport();
        QMouseEvent e(QEvent::MouseButtonPress, at, vp->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
        QApplication::sendEvent(vp, &e);
    }
    std::string Selected() const { return FOutline->FullPath(FOutline->SelectedItem()); }

    TempDir FTmp;
    fs::path FOld;
    std::unique_ptr<TCountingOutline> FOutline;
    int FChanges = 0;
};

} // namespace

TEST_F(OutlineFixture, SortedHiddenAndEachLevelReadOnce) {
    EXPECT_EQ(FOutline->Drive(), 'C');
    EXPECT_EQ(FOutline->Directory(), "c:\\");
    EXPECT_EQ(FOutline->Text(1), "c:");
    EXPECT_EQ(Children(1), (std::vector<std::string>{"alpha", "bravo", "charlie", "foo", "foo", "zulu"}));
    EXPECT_EQ(Children(1, true),
              (std::vector<std::string>{"alpha", "Bravo", "charlie", "FOO", "Foo", "Zulu"}));
    EXPECT_EQ(FOutline->Reads, 1);

    const int bravo = Child(1, "Bravo");
    EXPECT_FALSE(FOutline->HasItems(bravo));
    FOutline->Expand(bravo);
    EXPECT_EQ(Children(bravo), (std::vector<std::string>{"inner", "loop", "self"}));
    FOutline->Collapse(bravo);
    FOutline->Expand(bravo);
    FOutline->GetChildNamed("inner", bravo);
    EXPECT_EQ(FOutline->Reads, 2);

    // What the view shows: the opened level has rows on screen, a level not yet opened has none.
    EXPECT_FALSE(FOutline->ItemRect(Child(bravo, "Inner")).isEmpty());
    EXPECT_TRUE(FOutline->ItemRect(bravo).top() < FOutline->ItemRect(Child(bravo, "Inner")).top());
    FOutline->Collapse(bravo);
    EXPECT_TRUE(FOutline->ItemRect(Child(bravo, "Inner")).isEmpty());

    FOutline->SetTextCase(tcAsIs);
    EXPECT_EQ(FOutline->Text(1), "C:");
    EXPECT_EQ(Children(1), (std::vector<std::string>{"alpha", "Bravo", "charlie", "FOO", "Foo", "Zulu"}));
    FOutline->SetTextCase(tcUpperCase);
    EXPECT_EQ(Children(1), (std::vector<std::string>{"ALPHA", "BRAVO", "CHARLIE", "FOO", "FOO", "ZULU"}));
}

TEST_F(OutlineFixture, WalksForcedCasePathsOnTheNamesOnDisk) {
    FChanges = 0;
    FOutline->SetDirectory("C:\\BRAVO\\inner\\DEEPEST\\");
    EXPECT_EQ(FOutline->Directory(), "c:\\bravo\\inner\\deepest");
    EXPECT_EQ(fs::current_path(), C("Bravo/Inner/Deepest"));
    EXPECT_EQ(Selected(), "bravo\\inner\\deepest");
    EXPECT_EQ(FChanges, 1);

    // Relative to the current directory, and two names that differ only in case: each is its own.
    FOutline->SetDirectory("..\\..\\..\\Foo");
    EXPECT_EQ(fs::current_path(), C("Foo"));
    const int foo = FOutline->SelectedItem();
    EXPECT_EQ(FOutline->NameOf(foo), "Foo");
    ClickItem(Child(1, "FOO"));
    EXPECT_EQ(fs::current_path(), C("FOO"));
    EXPECT_EQ(FOutline->NameOf(FOutline->SelectedItem()), "FOO");
    EXPECT_EQ(FOutline->Directory(), "c:\\foo");

    // The first level stands for the root.
    ClickItem(1);
    EXPECT_EQ(FOutline->Directory(), "c:\\");
    EXPECT_EQ(fs::current_path(), C());

    // A walk to a name that is not there stops at the deepest node found.
    FOutline->WalkTree("c:\\bravo\\nothing\\deepest");
    EXPECT_EQ(Selected(), "bravo");
}

TEST_F(OutlineFixture, SwitchesBetweenMappedDrives) {
    FOutline->SetDirectory("c:\\alpha");
    FOutline->SetDirectory("D:\\docs\\LETTERS");
    EXPECT_EQ(FOutline->Drive(), 'D');
    EXPECT_EQ(FOutline->Directory(), "d:\\docs\\letters");
    EXPECT_EQ(FOutline->Text(1), "d:");
    EXPECT_EQ(Selected(), "docs\\letters");

    // Back to C: its own current directory, not its root.
    FOutline->SetDrive('c');
    EXPECT_EQ(FOutline->Directory(), "c:\\alpha");
    EXPECT_EQ(Selected(), "alpha");
    EXPECT_EQ(fs::current_path(), C("alpha"));

    FChanges = 0;
    EXPECT_THROW(FOutline->SetDrive('Q'), EDriveError);
    FOutline->SetDrive('1');
    FOutline->SetDrive('C');
    EXPECT_EQ(FOutline->Drive(), 'C');
    EXPECT_EQ(FChanges, 0);
}

TEST_F(OutlineFixture, FailedChangesKeepTheDirectory) {
    FOutline->SetDirectory("c:\\charlie");
    EXPECT_THROW(FOutline->SetDirectory("c:\\nope"), EDriveError);
    EXPECT_THROW(FOutline->SetDirectory("c:\\file.txt"), EDriveError);
    EXPECT_EQ(FOutline->Directory(), "c:\\charlie");
    EXPECT_EQ(fs::current_path(), C("charlie"));

    // A directory gone since it was listed: the click shows the error once, nothing moves.
    fs::remove(C("alpha"));
    ShowExceptionRecorder shown;
    ClickItem(Child(1, "alpha"));
    ASSERT_EQ(shown.Messages().size(), 1u);
    EXPECT_NE(shown.Messages()[0].find("alpha"), std::string::npos) << shown.Messages()[0];
    EXPECT_EQ(FOutline->Directory(), "c:\\charlie");
    EXPECT_EQ(fs::current_path(), C("charlie"));

    // One that cannot be read any more is shown without children, without an error.
    fs::remove(C("Zulu"));
    const int zulu = Child(1, "Zulu");
    FOutline->Expand(zulu);
    EXPECT_FALSE(FOutline->HasItems(zulu));
    EXPECT_EQ(shown.Messages().size(), 1u);
}

TEST_F(OutlineFixture, SubTreesDoNotFollowLinks) {
    const int bravo = Child(1, "Bravo");
    FOutline->BuildSubTree(1);
    const int inner = Child(bravo, "Inner");
    ASSERT_NE(inner, -1);
    EXPECT_EQ(Children(inner), (std::vector<std::string>{"deepest"}));
    // The links are there to open by hand, but the build did not go through them.
    EXPECT_EQ(FOutline->Data(Child(bravo, "Loop")), nullptr);
    EXPECT_EQ(FOutline->Data(Child(bravo, "Self")), nullptr);
    const int reads = FOutline->Reads;
    FOutline->BuildSubTree(1); // everything built stays as it is
    EXPECT_EQ(FOutline->Reads, reads);
    FOutline->Expand(Child(bravo, "Loop"));
    EXPECT_EQ(Children(Child(bravo, "Loop")).size(), 6u);
}
