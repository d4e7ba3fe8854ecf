#include "platform/drives/DriveDirs.h"
#include "samples/Cdiroutl.h"
#include "tools/gallery/GalleryPages.h"

#include <QComboBox>
#include <QDir>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <filesystem>

namespace {

// The outline on the drive map, starting in the user's home directory, with the drive, the case
// of the names and a directory to go to.
class TDirectoryOutlinePage : public QWidget {
  public:
    explicit TDirectoryOutlinePage(QWidget* Parent) : QWidget(Parent) {
        FOutline = new TCDirectoryOutline(this);
        FOutline->setMinimumSize(260, 240);
        FOutline->SetOnChange([this](TObject*) {
            ++FChanges;
            ShowDirectory();
        });

        const TDriveMap map = CurrentDriveMap();
        FDrive = new QComboBox(this);
        for (const TDriveMapEntry& e : map.Entries)
            FDrive->addItem(QString("%1:  %2").arg(QChar(e.Letter), QString::fromStdString(e.Root)),
                            QChar(e.Letter));
        auto* textCase = new QComboBox(this);
        textCase->addItems({"Lower case", "Upper case", "As on disk"});
        FPath = new QLineEdit(this);
        FPath->setPlaceholderText("c:\\usr\\share, ..\\.., d:");
        auto* go = new QPushButton("Go", this);
        auto* pathRow = new QHBoxLayout;
        pathRow->addWidget(FPath, 1);
        pathRow->addWidget(go);
        FDirectory = new QLabel(this);
        FDirectory->setWordWrap(true);
        FDirectory->setTextInteractionFlags(Qt::TextSelectableByMouse);
        FStatus = new QLabel(this);
        FStatus->setWordWrap(true);
        QString problems = QString::fromStdString(DriveConfigPath());
        for (const std::string& p : map.Problems)
            problems += "\n" + QString::fromStdString(p);
        auto* help = new QLabel("Drives come from TOLVANE_DRIVES and " + problems, this);
        help->setWordWrap(true);

        auto* form = new QFormLayout;
        form->addRow("Drive", FDrive);
        form->addRow("Names", textCase);
        form->addRow("Go to", pathRow);
        form->addRow("Directory", FDirectory);
        form->addRow(FStatus);
        form->addRow(help);
        auto* page = new QHBoxLayout(this);
        page->addWidget(FOutline, 1);
        page->addSpacing(12);
        page->addLayout(form, 1);

        connect(FDrive, &QComboBox::activated, this,
                [this](int i) { Try([&] { FOutline->SetDrive(FDrive->itemData(i).toChar().toLatin1()); }); });
        connect(textCase, &QComboBox::currentIndexChanged, this,
                [this](int i) { Try([&] { FOutline->SetTextCase(static_cast<TTextCase>(i)); }); });
        auto goTo = [this] { Try([&] { FOutline->SetDirectory(FPath->text().toStdString()); }); };
        connect(go, &QPushButton::clicked, this, goTo);
        connect(FPath, &QLineEdit::returnPressed, this, goTo);

        // The user's home directory, on whichever drive holds it.
        if (auto home =
                DrivePathOf(std::filesystem::weakly_canonical(QDir::homePath().toStdString()).string(), map))
            Try([&] { FOutline->SetDirectory(home->Text()); });
        ShowDirectory();
    }

  private:
    template <class F> void Try(F&& Action) {
        try {
            Action();
            FStatus->clear();
        } catch (const Exception& e) {
            FStatus->setText(QString::fromStdString(e.Message()));
        }
        ShowDirectory();
    }
    void ShowDirectory() {
        FDirectory->setText(QString("%1\nprocess: %2\n%3 change(s)")
                                .arg(QString::fromStdString(FOutline->Directory()), QDir::currentPath())
                                .arg(FChanges));
        const int i = FDrive->findData(QChar(FOutline->Drive()));
        if (i >= 0) FDrive->setCurrentIndex(i);
    }

    TCDirectoryOutline* FOutline;
    QComboBox* FDrive;
    QLineEdit* FPath;
    QLabel *FDirectory, *FStatus;
    int FChanges = 0;
};

QWidget* MakeDirectoryOutlinePage(QWidget* Parent) {
    return new TDirectoryOutlinePage(Parent);
}

const TGalleryPageRegistration DirectoryOutlinePage{50, "Directory outline", &MakeDirectoryOutlinePage};

} // namespace
