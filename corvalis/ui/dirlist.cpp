// SPDX-License-Identifier: Apache-2.0
#include "ui/dirlist.h"

#include <QDir>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QStorageInfo>
#include <QStyle>
#include <QStyledItemDelegate>
#include <algorithm>

namespace corvalis {

namespace {

constexpr int kLevelRole = Qt::UserRole + 1;
constexpr int kPathRole = Qt::UserRole;

// Whether Path is Root or lies below it.
bool Under(const QString& Path, const QString& Root) {
  if (Root == "/") return Path.startsWith('/');
  return Path == Root || Path.startsWith(Root + '/');
}

bool IsSystemMount(const QString& Root) {
  if (Under(Root, "/run/media")) return false;
  for (const char* p : {"/proc", "/sys", "/dev", "/run", "/snap"})
    if (Under(Root, p)) return true;
  return false;
}

bool IsNetworkFs(const QString& Type) {
  static const QStringList kTypes = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "9p", "fuseblk", "virtiofs"};
  return kTypes.contains(Type) || Type.startsWith("fuse.");
}

// Draws each folder indented by its depth, as a tree would.
class IndentDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* Painter, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override {
    QStyleOptionViewItem o(Option);
    o.rect.adjust(Indent(Index), 0, 0, 0);
    QStyledItemDelegate::paint(Painter, o, Index);
  }
  QSize sizeHint(const QStyleOptionViewItem& Option, const QModelIndex& Index) const override {
    QSize s = QStyledItemDelegate::sizeHint(Option, Index);
    return {s.width() + Indent(Index), s.height()};
  }

 private:
  // Deep paths stop indenting so that the names stay in view.
  static int Indent(const QModelIndex& Index) { return std::min(Index.data(kLevelRole).toInt(), 6) * 8; }
};

}  // namespace

std::vector<TDrive> ChooseDrives(const std::vector<TMountEntry>& Mounts, const QString& Home) {
  QString homeRoot;
  for (const TMountEntry& m : Mounts)
    if (Under(Home, m.Root) && m.Root.size() > homeRoot.size()) homeRoot = m.Root;

  std::vector<TDrive> drives;
  auto add = [&drives](const QString& Root, const QString& Label) {
    auto same = [&Root](const TDrive& d) { return d.Root == Root; };
    if (std::find_if(drives.begin(), drives.end(), same) == drives.end()) drives.push_back({Root, Label});
  };
  QString rootLabel;
  for (const TMountEntry& m : Mounts)
    if (m.Root == "/") rootLabel = m.Name;
  add("/", rootLabel);
  for (const TMountEntry& m : Mounts) {
    bool storage = m.Device.startsWith("/dev/") || IsNetworkFs(m.FsType);
    bool wanted = m.Root == homeRoot || (storage && !IsSystemMount(m.Root));
    if (wanted && QFileInfo(m.Root).isDir()) add(m.Root, m.Name);
  }
  std::sort(drives.begin(), drives.end(), [](const TDrive& a, const TDrive& b) { return a.Root < b.Root; });
  return drives;
}

std::vector<TDrive> MountedDrives() {
  std::vector<TMountEntry> mounts;
  for (const QStorageInfo& s : QStorageInfo::mountedVolumes())
    if (s.isValid())
      mounts.push_back({QDir::cleanPath(s.rootPath()), QString::fromUtf8(s.device()),
                        QString::fromUtf8(s.fileSystemType()), s.name()});
  return ChooseDrives(mounts, QDir::homePath());
}

QString DriveOf(const std::vector<TDrive>& Drives, const QString& Path) {
  QString best;
  for (const TDrive& d : Drives)
    if (Under(Path, d.Root) && d.Root.size() > best.size()) best = d.Root;
  return best;
}

QString ShortenPath(const QString& Path, const QFontMetrics& Metrics, int Width) {
  auto fits = [&](const QString& s) { return Metrics.horizontalAdvance(s) <= Width; };
  if (fits(Path)) return Path;
  // Keep the first folder and as many of the last ones as fit.
  const QStringList parts = Path.split('/', Qt::SkipEmptyParts);
  if (parts.size() >= 2) {
    const QString head = "/" + parts.first() + "/...";
    for (qsizetype i = 2; i < parts.size(); ++i) {
      QString shorter = head + "/" + parts.mid(i).join('/');
      if (fits(shorter)) return shorter;
    }
    QString last = ".../" + parts.last();
    if (fits(last)) return last;
  }
  // A single name too long to fit: keep its start and its end.
  for (qsizetype keep = Path.size() - 1; keep > 0; --keep) {
    QString shorter = Path.left((keep + 1) / 2) + "..." + Path.right(keep / 2);
    if (fits(shorter)) return shorter;
  }
  return "...";
}

// ---- drive list ----------------------------------------------------------------------------

TDriveComboBox::TDriveComboBox(QWidget* Parent) : QComboBox(Parent) {}

void TDriveComboBox::Update(const QString& Path) {
  std::vector<TDrive> drives = MountedDrives();
  if (drives != drives_) {
    drives_ = std::move(drives);
    clear();
    for (const TDrive& d : drives_)
      addItem(d.Label.isEmpty() || d.Label == d.Root ? d.Root : d.Root + "  [" + d.Label + "]", d.Root);
  }
  SelectDriveOf(Path);
}

void TDriveComboBox::SelectDriveOf(const QString& Path) {
  int i = findData(DriveOf(drives_, Path));
  if (i >= 0) setCurrentIndex(i);
}

QString TDriveComboBox::Drive() const {
  return currentData().toString();
}

// ---- directory list ------------------------------------------------------------------------

TDirectoryListBox::TDirectoryListBox(QWidget* Parent) : QListWidget(Parent) {
  setItemDelegate(new IndentDelegate(this));
  setSelectionMode(QAbstractItemView::SingleSelection);
}

void TDirectoryListBox::SetDirectory(const QString& Path) {
  if (!QDir::isAbsolutePath(Path)) throw TDirectoryError("Not a full path: " + Path.toStdString());
  const QString clean = QDir::cleanPath(Path);
  QFileInfo info(clean);
  if (!info.exists()) throw TDirectoryError("Folder not found: " + clean.toStdString());
  if (!info.isDir()) throw TDirectoryError("Not a folder: " + clean.toStdString());
  const bool changed = clean != directory_;
  directory_ = clean;
  Fill();
  if (changed && OnChange) OnChange();
}

void TDirectoryListBox::Update() {
  if (directory_.isEmpty()) return;
  if (!QFileInfo(directory_).isDir()) throw TDirectoryError("Folder not found: " + directory_.toStdString());
  Fill();
}

QString TDirectoryListBox::ItemPath(int Row) const {
  const QListWidgetItem* it = item(Row);
  return it ? it->data(kPathRole).toString() : QString();
}

void TDirectoryListBox::OpenItem(int Row) {
  if (QString path = ItemPath(Row); !path.isEmpty()) SetDirectory(path);
}

void TDirectoryListBox::Fill() {
  clear();
  const QIcon open = style()->standardIcon(QStyle::SP_DirOpenIcon);
  const QIcon closed = style()->standardIcon(QStyle::SP_DirClosedIcon);
  auto add = [this](const QIcon& Icon, const QString& Text, const QString& Path, int Level) {
    auto* it = new QListWidgetItem(Icon, Text, this);
    it->setData(kPathRole, Path);
    it->setData(kLevelRole, Level);
    it->setToolTip(Path);
  };
  // The folders from the root down to the current one, then its subfolders.
  const QStringList parts = directory_.split('/', Qt::SkipEmptyParts);
  add(open, "/", "/", 0);
  QString path;
  for (qsizetype i = 0; i < parts.size(); ++i) {
    path += "/" + parts[i];
    add(open, parts[i], path, static_cast<int>(i) + 1);
  }
  currentRow_ = count() - 1;
  const QString base = directory_ == "/" ? QString() : directory_;
  const QStringList subfolders =
      QDir(directory_).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
  for (const QString& name : subfolders)
    add(closed, name, base + "/" + name, static_cast<int>(parts.size()) + 1);
  setCurrentRow(currentRow_);
  scrollToItem(item(currentRow_));
  if (DirLabel) {
    DirLabel->setText(ShortenPath(directory_, DirLabel->fontMetrics(), DirLabel->width()));
    DirLabel->setToolTip(directory_);
  }
}

}  // namespace corvalis
