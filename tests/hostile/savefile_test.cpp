// Saving onto what the file system holds: targets that are no files, files
// the user could not write, links, long names, a full disk, and a save
// killed half-way. A save either replaces the file as a whole, keeping its
// owner and mode (or, for a file with other names or in a folder the user
// cannot write, rewrites it in place from a whole copy), or fails with a
// message and leaves everything as it was.
#include <gtest/gtest.h>

#include <sys/sysmacros.h>

#include <cstring>

#include "HostileUtil.h"

using namespace hostile;

namespace {

constexpr uid_t kNobody = 65534;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

ComPtr<IXMLDocumentIntf> Edited() {
  auto doc = NewDoc();
  doc->LoadFromXML(W("<r><c>text</c></r>"));
  doc->GetDocumentElement()->SetAttribute(u"added", OleVariant(u"yes"));
  return doc;
}

}  // namespace

// A named pipe would block the save (or get the text), a device would take
// it, a link loop has no file at its end: each is refused, in bounded time,
// and stays what it was.
TEST(SaveFile, TargetsThatAreNoRegularFilesAreRefusedAndLeftAsTheyAre) {
  TempDir dir;
  const std::string pipe = dir.File("pipe.xml"), device = dir.File("device.xml"), loop = dir.File("loop.xml");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  // Root makes a device of its own (never touching /dev); others point at
  // /dev/null, which they could not replace anyway.
  if (geteuid() == 0)
    ASSERT_EQ(mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
  else
    ASSERT_EQ(symlink("/dev/null", device.c_str()), 0);
  ASSERT_EQ(symlink("loop2.xml", loop.c_str()), 0);
  ASSERT_EQ(symlink("loop.xml", dir.File("loop2.xml").c_str()), 0);
  auto doc = Edited();
  const std::pair<std::string, std::string> cases[] = {{pipe, "it is not a regular file"},
                                                       {device, "it is not a regular file"},
                                                       {loop, "Too many levels of symbolic links"},
                                                       {dir.Path(), "it is not a regular file"}};
  for (const auto& [target, reason] : cases) {
    ChildRun run = RunInChild([&] { return FailureOf([&] { doc->SaveToFile(W(target)); }); }, 20);
    ASSERT_TRUE(run.finished) << "the save hung on " << target;
    EXPECT_NE(run.result.find(reason), std::string::npos) << run.result;
    EXPECT_NE(run.result.find(target.substr(target.rfind('/') + 1)), std::string::npos) << run.result;
  }
  struct stat st {};
  EXPECT_TRUE(lstat(pipe.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
  EXPECT_TRUE(stat(device.c_str(), &st) == 0 && S_ISCHR(st.st_mode));
  EXPECT_TRUE(lstat(loop.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
  EXPECT_EQ(Entries(dir.Path()), (std::vector<std::string>{"device.xml", "loop.xml", "loop2.xml", "pipe.xml"}));
}

// Replacing needs only the folder; the file must be one the user could
// write. Run as a user who is not root (root gives itself up to "nobody"
// in a child for this).
TEST(SaveFile, AFileTheUserCouldNotWriteIsNotReplaced) {
  TempDir dir;
  const std::string file = dir.Write("doc.xml", "<r/>");
  ASSERT_EQ(chmod(dir.Path().c_str(), 0777), 0);
  ASSERT_EQ(chmod(file.c_str(), geteuid() == 0 ? 0644 : 0444), 0);
  auto doc = Edited();
  ChildRun run = RunInChild(
      [&] {
        if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) return std::string("setuid failed");
        return FailureOf([&] { doc->SaveToFile(W(file)); }) + "|" + std::to_string(geteuid());
      },
      20);
  ASSERT_TRUE(run.finished);
  EXPECT_NE(run.result.find("Cannot replace"), std::string::npos) << run.result;
  EXPECT_NE(run.result.find("Permission denied"), std::string::npos) << run.result;
  EXPECT_EQ(run.result.find("|0"), std::string::npos) << "the save ran as root";
  EXPECT_EQ(ReadAll(file), "<r/>");
  EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"doc.xml"});
}

// The new content takes the old file's owner, group and mode (root may set
// any owner; others keep their own files anyway), whatever mode the umask
// would give a new file. Each case runs in a child with its umask.
TEST(SaveFile, ReplacingKeepsOwnerGroupAndMode) {
  const std::pair<mode_t, mode_t> cases[] = {{0640, 022}, {0664, 022}, {0666, 022}, {0604, 077}, {0751, 077}};
  for (const auto& [mode, mask] : cases) {
    TempDir dir;
    const std::string file = dir.Write("doc.xml", "<r/>");
    if (geteuid() == 0) {
      ASSERT_EQ(chown(file.c_str(), kNobody, kNobody), 0);
    }
    ASSERT_EQ(chmod(file.c_str(), mode), 0);
    struct stat before {};
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    ChildRun run = RunInChild(
        [&] {
          umask(mask);
          return FailureOf([&] { Edited()->SaveToFile(W(file)); });
        },
        20);
    ASSERT_TRUE(run.finished && run.result.empty()) << run.result;
    struct stat after {};
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << "the file was rewritten in place";
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(after.st_mode & 07777, mode) << std::oct << "mode 0" << mode << " under umask 0" << mask;
    EXPECT_NE(ReadAll(file).find("added=\"yes\""), std::string::npos);
  }
}

// A new file would take the name from the file's other names (hard links):
// the file is rewritten in place instead, so every name sees the new
// content, and nothing is left beside it. The old content is longer than
// the new: what is left of it must go.
TEST(SaveFile, AFileWithOtherNamesIsRewrittenInPlace) {
  TempDir dir;
  const std::string file = dir.Write("doc.xml", "<r>" + std::string(5000, 'x') + "</r>"), other = dir.File("other.xml");
  ASSERT_EQ(link(file.c_str(), other.c_str()), 0);
  ASSERT_EQ(chmod(file.c_str(), 0604), 0);
  struct stat before {};
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  auto doc = Edited();
  doc->SaveToFile(W(file));
  struct stat after {}, otherAfter {};
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  ASSERT_EQ(stat(other.c_str(), &otherAfter), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(otherAfter.st_ino, before.st_ino);
  EXPECT_EQ(after.st_nlink, 2u);
  EXPECT_EQ(after.st_mode & 07777, 0604u);
  AnsiString saved;
  doc->SaveToXML(saved);
  EXPECT_EQ(ReadAll(other), saved);
  EXPECT_EQ(Entries(dir.Path()), (std::vector<std::string>{"doc.xml", "other.xml"}));
}

// A file the user can write in a folder the user cannot is rewritten in
// place from a copy in the temporary folder, which goes when it is done.
// Run as a user who is not root (root gives itself up to "nobody" in a
// child for this: root may write any folder).
TEST(SaveFile, AWritableFileInAFolderTheUserCannotWriteIsRewrittenInPlace) {
  TempDir dir;
  const std::string folder = dir.File("folder"), temp = dir.File("temp"), file = folder + "/doc.xml";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(temp.c_str(), 0700), 0);
  dir.Write("folder/doc.xml", "<r/>");
  const bool root = geteuid() == 0;
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  if (root) {
    ASSERT_EQ(chown(file.c_str(), kNobody, kNobody) | chown(temp.c_str(), kNobody, kNobody), 0);
  }
  ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
  struct stat before {};
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  auto doc = Edited();
  ChildRun run = RunInChild(
      [&] {
        if (root && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) return std::string("setuid failed");
        setenv("TMPDIR", temp.c_str(), 1);
        return FailureOf([&] { doc->SaveToFile(W(file)); }) + "|" + std::to_string(geteuid());
      },
      20);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.result, "|" + std::to_string(root ? kNobody : geteuid()));
  struct stat after {};
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_NE(ReadAll(file).find("added=\"yes\""), std::string::npos);
  EXPECT_EQ(Entries(folder), std::vector<std::string>{"doc.xml"});
  EXPECT_EQ(Entries(temp), std::vector<std::string>{});
  ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
}

// A full disk (here the file size limit, in a child) fails the save with
// the file's name and the reason, and leaves the file as it was and nothing
// beside it, whether the file is replaced or rewritten in place.
TEST(SaveFile, AFullDiskNamesTheFileAndTheReason) {
  TempDir dir;
  const std::string file = dir.Write("doc.xml", "<old/>");
  auto doc = Edited();
  doc->GetDocumentElement()->SetAttribute(u"big", OleVariant(WideString(100000, u'x')));
  for (bool linked : {false, true}) {
    if (linked) {
      ASSERT_EQ(link(file.c_str(), dir.File("other.xml").c_str()), 0);
    }
    ChildRun run = RunInChild(
        [&] {
          signal(SIGXFSZ, SIG_IGN);
          rlimit limit{16384, 16384};
          setrlimit(RLIMIT_FSIZE, &limit);
          return FailureOf([&] { doc->SaveToFile(W(file)); });
        },
        20);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.result, "Cannot write \"" + file + "\": " + std::strerror(EFBIG)) << "linked " << linked;
    EXPECT_EQ(ReadAll(file), "<old/>");
    EXPECT_EQ(Entries(dir.Path()).size(), linked ? 2u : 1u);
  }
}

// The name of the file the save writes first must not make a name that is
// as long as a name may be fail.
TEST(SaveFile, ANameAsLongAsNamesMayBeSaves) {
  TempDir dir;
  const std::string name = std::string(251, 'n') + ".xml";
  auto doc = Edited();
  EXPECT_EQ(FailureOf([&] { doc->SaveToFile(W(dir.File(name))); }), "");
  EXPECT_EQ(FailureOf([&] { doc->SaveToFile(W(dir.File(name))); }), "");
  EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{name});
}

// Killed at any moment, a save leaves the old file or the new one, whole.
// Beside it there is nothing, or, killed between its last two steps, the
// new file under a spare name that the next save takes away. Spare names of
// processes still running stay.
TEST(SaveFile, AKilledSaveLeavesTheFileWholeAndNothingBeside) {
  TempDir dir;
  std::string xml = "<r>";
  for (int i = 0; i < 100000; ++i) xml += "<e a=\"" + std::to_string(i) + "\">some text</e>";
  xml += "</r>";
  const std::string file = dir.Write("doc.xml", xml);
  auto doc = NewDoc();
  doc->LoadFromFile(W(file));
  doc->GetDocumentElement()->SetAttribute(u"added", OleVariant(u"yes"));
  for (double seconds : {0.07, 0.19, 0.41}) {
    ChildRun run = RunInChild(
        [&] {
          for (;;) doc->SaveToFile(W(file));
          return std::string();
        },
        seconds);
    EXPECT_FALSE(run.finished) << run.result;
    std::vector<std::string> names = Entries(dir.Path());
    ASSERT_EQ(names.back(), "doc.xml");
    ASSERT_LE(names.size(), 2u) << "after " << seconds << " s";
    for (const std::string& name : names) {
      auto again = NewDoc();
      EXPECT_EQ(FailureOf([&] { again->LoadFromFile(W(dir.File(name))); }), "") << name << " after " << seconds;
      EXPECT_EQ(again->GetDocumentElement()->GetChildNodes()->GetCount(), 100000);
    }
  }
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
  const std::string left = ".xmlsave-" + std::to_string(gone) + "-abcdefgh";
  const std::string live = ".xmlsave-" + std::to_string(getpid()) + "-abcdefgh";
  dir.Write(left, "<left/>");
  dir.Write(live, "<live/>");
  doc->SaveToFile(W(file));
  EXPECT_EQ(Entries(dir.Path()), (std::vector<std::string>{live, "doc.xml"}));
}
