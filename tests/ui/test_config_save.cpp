// Saving configurations through the window: when something is written, the
// overwrite question, failed saves that keep the old file and the state, and
// the save questions of New and of closing the window.
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

#include <QAction>

#include "test_config_support.h"

using namespace cfgtest;

namespace {

// Writes past `bytes` in any file fail with EFBIG, for root as well.
class TFileSizeLimit {
 public:
  explicit TFileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &FOld);
    FOldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = FOld;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~TFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &FOld);
    signal(SIGXFSZ, FOldHandler);
  }

 private:
  rlimit FOld{};
  sighandler_t FOldHandler;
};

// A folder nobody may add to, root included: the immutable flag, where the
// file system and the capabilities allow it.
class TImmutableFolder {
 public:
  explicit TImmutableFolder(const std::string& path) {
    FFd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    if (FFd < 0 || ioctl(FFd, FS_IOC_GETFLAGS, &flags) != 0) return;
    flags |= FS_IMMUTABLE_FL;
    FSet = ioctl(FFd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ~TImmutableFolder() {
    int flags = 0;
    if (FSet && ioctl(FFd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags &= ~FS_IMMUTABLE_FL;
      ioctl(FFd, FS_IOC_SETFLAGS, &flags);
    }
    if (FFd >= 0) close(FFd);
  }
  bool Set() const { return FSet; }

 private:
  int FFd = -1;
  bool FSet = false;
};

class ConfigSave : public TConfigTest {
 protected:
  // A window with devices whose configuration is saved as `name` and then
  // changed again.
  std::unique_ptr<TMainForm> SavedThenModified(TScript& script, const std::string& name,
                                               int devices = 2) {
    auto form = MakeWindow();
    for (int i = 0; i < devices; ++i) form->AddDevice(NewDevice("dev", 100 + i, 1 + i % 250));
    script.FileNames.push_back(QPath(name));
    form->SaveAsActionExecute();
    EXPECT_EQ(form->FFileName, QPath(name));
    EXPECT_FALSE(form->FModified);
    form->AddDevice(NewDevice("added later", 9999, 99));
    EXPECT_TRUE(form->FModified);
    return form;
  }
  // Save as the menu runs it: enabled on opening "Файл", errors reported.
  static void SaveFromMenu(TMainForm& form) {
    form.mFileClick();
    ASSERT_TRUE(form.SaveAction->isEnabled());
    form.SaveAction->trigger();
  }
};

const char* const kSaveQuestion = "Сохранить внесенные изменения?";
const char* const kOverwrite = "Перезаписать существующий файл?";

}  // namespace

TEST_F(ConfigSave, SomethingIsWrittenOnlyForAChangeOrAnotherName) {
  TScript script;
  auto form = SavedThenModified(script, "cur.l07");
  SaveFromMenu(*form);
  EXPECT_FALSE(form->FModified);
  const std::string saved = ReadBytes(Path("cur.l07"));

  // Unchanged, under its own name: nothing is written (the marker stays).
  WriteBytes(Path("cur.l07"), "marker");
  form->SaveActionExecute();
  form->mFileClick();
  EXPECT_FALSE(form->SaveAction->isEnabled());
  EXPECT_EQ(ReadBytes(Path("cur.l07")), "marker");

  // Save As onto the current file: the overwrite question, then still nothing.
  script.FileNames.push_back(QPath("cur.l07"));
  script.Answers = {mrYes};
  form->SaveAsActionExecute();
  ASSERT_EQ(script.Messages.size(), 1u);
  EXPECT_EQ(script.Messages[0].Text, U8(kOverwrite));
  EXPECT_EQ(script.Messages[0].Type, mtConfirmation);
  EXPECT_EQ(script.Messages[0].Buttons, mbYes | mbNo);
  EXPECT_EQ(ReadBytes(Path("cur.l07")), "marker");

  // Another existing file: No leaves it and the current name alone...
  WriteBytes(Path("other.l07"), "other");
  script.FileNames.push_back(QPath("other.l07"));
  script.Answers = {mrNo};
  form->SaveAsActionExecute();
  EXPECT_EQ(ReadBytes(Path("other.l07")), "other");
  EXPECT_EQ(form->FFileName, QPath("cur.l07"));
  // ...Yes replaces it although nothing changed, and it becomes current.
  script.FileNames.push_back(QPath("other.l07"));
  script.Answers = {mrYes};
  form->SaveAsActionExecute();
  EXPECT_EQ(ReadBytes(Path("other.l07")), saved);
  EXPECT_EQ(form->FFileName, QPath("other.l07"));

  // A cancelled dialog writes nothing; a typed extension is kept as it is.
  script.FileNames.push_back(QString());
  EXPECT_FALSE(form->SaveConfigurationAs());
  script.FileNames.push_back(QPath("plain.cfg"));
  EXPECT_TRUE(form->SaveConfigurationAs());
  EXPECT_EQ(ReadBytes(Path("plain.cfg")), saved);
  EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"cur.l07", "other.l07", "plain.cfg"}));
  EXPECT_EQ(script.Filters.back(), U8("Файлы конфигурации|*.l07"));
}

TEST_F(ConfigSave, FailedWriteKeepsTheOldFileTheNameAndTheFlag) {
  TScript script;
  auto form = SavedThenModified(script, "cur.l07", 40);
  const std::string before = ReadBytes(Path("cur.l07"));
  for (int i = 0; i < 40; ++i) form->AddDevice(NewDevice("more", 500 + i, 7));
  script.Answers = {mrOk};
  {
    TFileSizeLimit limit(before.size() + 100);
    SaveFromMenu(*form);
  }
  ASSERT_EQ(script.Messages.size(), 1u);
  EXPECT_EQ(script.Messages[0].Type, mtError);
  EXPECT_NE(script.Messages[0].Text.indexOf(QString::fromStdString(Path("cur.l07"))), -1)
      << script.Messages[0].Text.toStdString();
  EXPECT_NE(script.Messages[0].Text.indexOf(QLatin1String("File too large")), -1)
      << script.Messages[0].Text.toStdString();
  EXPECT_EQ(ReadBytes(Path("cur.l07")), before);
  EXPECT_EQ(FolderEntries(), std::vector<std::string>{"cur.l07"});  // no temporary left
  EXPECT_TRUE(form->FModified);
  EXPECT_EQ(form->FFileName, QPath("cur.l07"));

  // Once the disk takes it again, the same save goes through.
  SaveFromMenu(*form);
  EXPECT_FALSE(form->FModified);
  auto check = MakeWindow();
  check->LoadConfiguration(QPath("cur.l07"));
  EXPECT_EQ(check->DeviceCount(), 81);
}

TEST_F(ConfigSave, FolderThatTakesNoNewFileIsRewrittenInPlaceAndRestoredOnFailure) {
  TScript script;
  auto form = SavedThenModified(script, "cur.l07", 3);
  const std::string before = ReadBytes(Path("cur.l07"));
  TImmutableFolder folder(Dir);
  if (!folder.Set()) GTEST_SKIP() << "the immutable flag is not available here";

  for (int i = 0; i < 40; ++i) form->AddDevice(NewDevice("more", 500 + i, 7));
  script.Answers = {mrOk};
  {
    TFileSizeLimit limit(before.size() + 100);
    SaveFromMenu(*form);
  }
  ASSERT_EQ(script.Messages.size(), 1u);
  EXPECT_EQ(script.Messages[0].Type, mtError);
  EXPECT_EQ(ReadBytes(Path("cur.l07")), before);
  EXPECT_TRUE(form->FModified);

  SaveFromMenu(*form);
  EXPECT_FALSE(form->FModified);
  EXPECT_EQ(ReadBytes(Path("cur.l07")), ConfigurationImage(form->ComPort(), form->FDevices));
  EXPECT_EQ(FolderEntries(), std::vector<std::string>{"cur.l07"});
}

TEST_F(ConfigSave, SaveIntoAFolderThatIsAFileFails) {
  TScript script;
  auto form = SavedThenModified(script, "cur.l07");
  WriteBytes(Path("file"), "x");
  script.FileNames.push_back(QPath("file/inside.l07"));
  script.Answers = {mrOk};
  form->SaveAsAction->trigger();
  ASSERT_EQ(script.Messages.size(), 1u);
  EXPECT_EQ(script.Messages[0].Type, mtError);
  EXPECT_NE(script.Messages[0].Text.indexOf(QLatin1String("Not a directory")), -1);
  EXPECT_EQ(form->FFileName, QPath("cur.l07"));
  EXPECT_TRUE(form->FModified);
}

TEST_F(ConfigSave, NewClearsOnlyOnceTheChangesAreSafe) {
  {  // Yes, no file name, the dialog cancelled: nothing is cleared.
    TScript script;
    auto form = MakeWindow();
    form->AddDevice(NewDevice("a", 1, 1));
    script.Answers = {mrYes};
    script.FileNames.push_back(QString());
    EXPECT_FALSE(form->ClearConfiguration());
    EXPECT_EQ(script.Texts(), std::vector<QString>{U8(kSaveQuestion)});
    EXPECT_EQ(form->DeviceCount(), 1);
    EXPECT_TRUE(form->FModified);
  }
  {  // Yes, and the save fails: the error is shown and nothing is cleared.
    TScript script;
    auto form = MakeWindow();
    form->AddDevice(NewDevice("a", 1, 1));
    WriteBytes(Path("file"), "x");
    form->FFileName = QPath("file/inside.l07");
    script.Answers = {mrYes, mrOk};
    form->NewAction->trigger();
    ASSERT_EQ(script.Messages.size(), 2u);
    EXPECT_EQ(script.Messages[1].Type, mtError);
    EXPECT_EQ(form->DeviceCount(), 1);
    EXPECT_EQ(form->FFileName, QPath("file/inside.l07"));
    EXPECT_TRUE(form->FModified);
  }
  {  // Yes through Save As with a new name: saved, then cleared.
    TScript script;
    auto form = MakeWindow();
    form->AddDevice(NewDevice("a", 1, 1));
    script.Answers = {mrYes};
    script.FileNames.push_back(QPath("kept"));
    EXPECT_TRUE(form->ClearConfiguration());
    EXPECT_EQ(form->DeviceCount(), 0);
    EXPECT_TRUE(form->FFileName.isEmpty());
    EXPECT_FALSE(form->FModified);
    EXPECT_FALSE(form->RemoveDeviceAction->isEnabled());
    EXPECT_EQ(form->sgDevices->RowCount(), 2);
    auto check = MakeWindow();
    check->LoadConfiguration(QPath("kept.l07"));
    EXPECT_EQ(check->DeviceCount(), 1);
  }
  {  // No: cleared without saving; the port settings stay.
    TScript script;
    auto form = MakeWindow();
    form->ComPort().SetBaudRate(br57600);
    form->AddDevice(NewDevice("a", 1, 1));
    form->FFileName = QPath("named.l07");
    script.Answers = {mrNo};
    form->NewActionExecute();
    EXPECT_EQ(form->DeviceCount(), 0);
    EXPECT_TRUE(form->FFileName.isEmpty());
    EXPECT_EQ(form->ComPort().BaudRate(), br57600);
    EXPECT_FALSE(fs::exists(Path("named.l07")));
  }
}

TEST_F(ConfigSave, ClosingKeepsTheWindowUntilTheChangesAreSafe) {
  const QString quit = U8("Вы действительно желаете завершить работу?");
  {  // Yes, Yes, and the file dialog cancelled: the window stays.
    TScript script;
    auto form = MakeWindow();
    form->AddDevice(NewDevice("a", 1, 1));
    script.Answers = {mrYes, mrYes};
    script.FileNames.push_back(QString());
    EXPECT_FALSE(form->close());
    EXPECT_EQ(script.Texts(), (std::vector<QString>{quit, U8(kSaveQuestion)}));
    EXPECT_EQ(script.Messages[1].Buttons, mbYes | mbNo);
    EXPECT_EQ(form->DeviceCount(), 1);
    EXPECT_TRUE(form->FModified);
  }
  {  // Yes, Yes, and the save fails: the error is shown and the window stays.
    TScript script;
    auto form = MakeWindow();
    form->AddDevice(NewDevice("a", 1, 1));
    WriteBytes(Path("file"), "x");
    form->FFileName = QPath("file/inside.l07");
    script.Answers = {mrYes, mrYes, mrOk};
    EXPECT_FALSE(form->close());
    ASSERT_EQ(script.Messages.size(), 3u);
    EXPECT_EQ(script.Messages[2].Type, mtError);
    EXPECT_TRUE(form->FModified);
  }
  {  // Yes, Yes, a name whose file exists, No to replacing it: the window stays.
    TScript script;
    auto form = MakeWindow();
    form->AddDevice(NewDevice("a", 1, 1));
    WriteBytes(Path("taken.l07"), "taken");
    script.Answers = {mrYes, mrYes, mrNo};
    script.FileNames.push_back(QPath("taken.l07"));
    EXPECT_FALSE(form->close());
    EXPECT_EQ(script.Texts().back(), U8(kOverwrite));
    EXPECT_EQ(ReadBytes(Path("taken.l07")), "taken");
  }
  {  // Yes, Yes with a current file: saved there, and the window closes.
    TScript script;
    auto form = MakeWindow();
    form->AddDevice(NewDevice("a", 1, 1));
    form->FFileName = QPath("cur.l07");
    script.Answers = {mrYes, mrYes};
    EXPECT_TRUE(form->close());
    auto check = MakeWindow();
    check->LoadConfiguration(QPath("cur.l07"));
    EXPECT_EQ(check->DeviceCount(), 1);
  }
  {  // Yes, No: closes without saving.
    TScript script;
    auto form = MakeWindow();
    form->AddDevice(NewDevice("a", 1, 1));
    form->FFileName = QPath("unsaved.l07");
    script.Answers = {mrYes, mrNo};
    EXPECT_TRUE(form->close());
    EXPECT_FALSE(fs::exists(Path("unsaved.l07")));
  }
}

TEST_F(ConfigSave, LinkStaysALinkAndItsFileIsReplacedWhole) {
  TScript script;
  fs::create_directory(Path("real"));
  auto form = SavedThenModified(script, "real/cur.l07", 3);
  const std::string before = ReadBytes(Path("real/cur.l07"));
  fs::create_symlink(Path("real/cur.l07"), Path("link.l07"));
  form->FFileName = QPath("link.l07");
  for (int i = 0; i < 40; ++i) form->AddDevice(NewDevice("more", 500 + i, 7));

  script.Answers = {mrOk};
  {
    TFileSizeLimit limit(before.size() + 100);
    SaveFromMenu(*form);
  }
  EXPECT_EQ(script.Messages.size(), 1u);
  EXPECT_EQ(ReadBytes(Path("real/cur.l07")), before);
  EXPECT_TRUE(form->FModified);

  SaveFromMenu(*form);
  EXPECT_FALSE(form->FModified);
  EXPECT_TRUE(fs::is_symlink(Path("link.l07")));
  EXPECT_EQ(ReadBytes(Path("real/cur.l07")), ConfigurationImage(form->ComPort(), form->FDevices));
  EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"link.l07", "real"}));
  EXPECT_EQ(fs::directory_iterator(Path("real"))->path().filename(), "cur.l07");
  EXPECT_EQ(std::distance(fs::directory_iterator(Path("real")), fs::directory_iterator()), 1);
}
