// SPDX-License-Identifier: Apache-2.0
#pragma once
// The Files sheet's drive list and directory list. On Linux the "drives" are the mounted file
// systems; the directory list shows the folders from the root down to the current one, then the
// current one's subfolders, and keeps a label showing the current folder.
#include <QComboBox>
#include <QListWidget>
#include <QString>
#include <functional>
#include <stdexcept>
#include <vector>

class QFontMetrics;
class QLabel;

namespace corvalis {

// A mounted file system as the system lists it.
struct TMountEntry {
  QString Root;    // mount point
  QString Device;  // "/dev/sda1", "server:/share", "proc", ...
  QString FsType;  // "ext4", "nfs4", "tmpfs", ...
  QString Name;    // volume label, often empty
};

// A drive of the drive list.
struct TDrive {
  QString Root;
  QString Label;
  bool operator==(const TDrive&) const = default;
};

// The mounts a tester can keep captures on: "/", the one holding Home, and those of storage
// devices and network file systems; not the system's own (/proc, /sys, /dev, /run, /snap) and not
// mounts of single files. Sorted by mount point, each once.
std::vector<TDrive> ChooseDrives(const std::vector<TMountEntry>& Mounts, const QString& Home);
// ChooseDrives over the mounts of this machine.
std::vector<TDrive> MountedDrives();
// The mount point of the drive that holds Path (the longest root above it), empty when none.
QString DriveOf(const std::vector<TDrive>& Drives, const QString& Path);

// Path shortened in the middle ("/home/.../captures") to fit Width pixels.
QString ShortenPath(const QString& Path, const QFontMetrics& Metrics, int Width);

// A directory that cannot be made the current one; the message is shown to the tester.
class TDirectoryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TDriveComboBox : public QComboBox {
 public:
  explicit TDriveComboBox(QWidget* Parent = nullptr);
  // Re-reads the mounted file systems; the drive of Path is selected.
  void Update(const QString& Path);
  // Selects the drive holding Path.
  void SelectDriveOf(const QString& Path);
  // The selected drive's mount point.
  QString Drive() const;
  const std::vector<TDrive>& Drives() const { return drives_; }

 private:
  std::vector<TDrive> drives_;
};

class TDirectoryListBox : public QListWidget {
 public:
  explicit TDirectoryListBox(QWidget* Parent = nullptr);

  // The current directory (absolute, without a trailing "/"), empty before the first is set.
  const QString& Directory() const { return directory_; }
  // Makes Path the current directory and lists it. Path must be absolute and name an existing
  // directory, otherwise TDirectoryError. A change of directory runs OnChange.
  void SetDirectory(const QString& Path);
  // Lists the current directory again from disk (runs no OnChange).
  void Update();
  // The directory an item stands for.
  QString ItemPath(int Row) const;
  // The row of the current directory.
  int CurrentDirectoryRow() const { return currentRow_; }
  // As a double click on the item: its directory becomes the current one.
  void OpenItem(int Row);

  // Kept showing the current directory, shortened in the middle to its width.
  QLabel* DirLabel = nullptr;
  std::function<void()> OnChange;

 private:
  void Fill();
  QString directory_;
  int currentRow_ = -1;
};

}  // namespace corvalis
