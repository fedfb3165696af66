// SPDX-License-Identifier: Apache-2.0
#pragma once
// The call journal: what a call's record will hold, written to a file of its own as the call goes
// on, so that a call cut short by a kill, a crash or a power cut still becomes a record at the next
// start. The file is text, one fact a line, "KEYWORD VALUE", only ever appended to:
//
//   corvalis-journal 1             the format (always the first line)
//   pid 4242                       the process writing it
//   started 1003413907000000       the call's start, microseconds since 1970 (UTC)
//   capture /home/t/1018-1405-LAB1.TXT    the capture file the record goes to (again when it changes)
//   value UserName Ann             a value the record carries (again when it changes)
//   text RECD: HELLO GA\xb1\xb2    conversation bytes appended to what the lines before gave
//   cut 1200                       the conversation cut back to its first 1200 bytes
//   turbo 1                        the turbo code was detected
//   script 1                       the script had completed (0: it has not, after all)
//   collisions 12                  far-end characters not shown (this side was sending), so far
//   chars s10112:72 r21548:89      characters written to the port (s) or delivered by it (r): ms from
//                                  the call's start and the byte, added to those of the lines before
//   at 1003413967000000            the journal's last write while the call went on (each second)
//   ended 1003413969000000         the call ended then
//   saving /home/t/1018-1405-LAB1.TXT 4711    the record is being appended to that file, which held
//                                  that many bytes before
//
// Values are escaped: printable ASCII stands for itself, a backslash is "\\", any other byte "\xHH".
// Readers skip a last line without its line end and a line ending in the byte 01 (both left by a
// write that failed half-way). They also skip what they cannot use (keywords they do not know, a
// raw control byte inside a line, a value that does not read): such a journal is damaged, or from a
// later program, and is kept aside as "<journal>.damaged" once its record is made, so that no byte
// of it is lost.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/settings_record.h"
#include "timing.h"

namespace corvalis {

// The folder for journals: $CORVALIS_STATE_DIR/journal, else
// ${XDG_STATE_HOME:-$HOME/.local/state}/corvalis/journal.
std::string JournalFolder();

std::string JournalEscape(std::string_view bytes);
// Invalid escapes are taken as the characters they are made of.
std::string JournalUnescape(std::string_view text);

// The microseconds since 1970 a journal gives for a moment, and back.
std::int64_t JournalTime(TDateTime moment);
TDateTime FromJournalTime(std::int64_t micros);

// How far a Flush takes the lines it writes.
enum class TJournalSync {
  None,   // into the file (the system's cache): they survive a kill
  Later,  // and onto the storage, on the journal's own thread: the caller does not wait for slow
          // storage (an SD card, a USB stick), so the characters it times meanwhile are not late
  Now,    // and onto the storage before Flush returns: they survive a power cut
};

// The call that makes a file's data durable: fdatasync. Tests put slow or failing storage in its
// place; it is called on the journal's own thread as well as the caller's.
using TJournalDataSync = int (*)(int Fd);
void SetJournalDataSync(TJournalDataSync Sync);  // nullptr: fdatasync again

// The journal of the call in progress. Lines are gathered and written by Flush; the file is
// locked while the object has it open, so that no other instance takes it for one left behind.
// Every member is called on one thread; the journal's own sync thread only syncs the file.
class TCallJournal {
 public:
  TCallJournal();
  ~TCallJournal();  // closes the file and leaves it where it is
  TCallJournal(const TCallJournal&) = delete;
  TCallJournal& operator=(const TCallJournal&) = delete;

  // Makes a new journal in Folder (made when missing) for a call started at Start, and writes its
  // first lines. 0, or the errno of the failure (nothing is left behind then).
  int Create(const std::string& Folder, TDateTime Start);
  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }

  // What the record holds; each call gathers lines only when something changed.
  void SetCapture(const std::string& Path);
  void SetValue(const char* Name, const std::string& Value);
  void SetValues(const TWindowSettings& Settings);
  void Append(std::string_view Bytes);
  // The whole conversation as it stands now: written as a cut and what follows it.
  void SetConversation(const std::string& Text);
  const std::string& Conversation() const { return conversation_; }
  void SetTurbo(bool Turbo);
  void SetScriptCompleted(bool Completed);
  void SetCollisions(std::int64_t Count);
  void At(TDateTime Now);
  void Ended(TDateTime Now);
  void Saving(const std::string& Path, std::uint64_t SizeBefore);
  // Any line, for facts added later (the keyword must hold no space; the value is escaped).
  void AddLine(std::string_view Keyword, std::string_view Value);

  bool Pending() const { return !pending_.empty(); }
  // Writes the gathered lines in one write and takes them as far as Sync says. 0 or an errno (of
  // this write, or of a sync on the journal's thread that failed since the last Flush: that one is
  // tried again); lines that could not be written are kept for the next try.
  int Flush(TJournalSync Sync);
  int Flush(bool Sync) { return Flush(Sync ? TJournalSync::Now : TJournalSync::None); }
  // The record is saved or the call discarded: the journal goes. 0 or an errno.
  int Remove();
  // Closes the file and leaves it for the next start (a call that cannot be ended here).
  void Close();

 private:
  class TSyncThread;
  void Line(std::string_view Keyword, const std::string& Value);
  void StopSyncThread();
  int fd_ = -1;
  std::unique_ptr<TSyncThread> syncer_;
  std::string path_;
  std::string pending_;
  std::string capture_;
  std::string conversation_;
  TWindowSettings values_;
  bool valuesWritten_ = false;
  bool torn_ = false;      // the last failed write stopped inside a line
  bool unsynced_ = false;  // written since the last sync
  bool folderUnsynced_ = false;  // the file's name is not yet synced
  bool turbo_ = false;
  bool scriptCompleted_ = false;
  std::int64_t collisions_ = 0;
};

// What a journal says, read back.
struct TJournalContents {
  bool HasCall = false;  // a "started" line: there is a call to recover
  long Pid = 0;
  TDateTime Start{};
  std::optional<TDateTime> LastWrite;  // the last "at"
  std::optional<TDateTime> End;        // "ended"
  std::string Capture;
  TWindowSettings Values;
  std::string Conversation;
  bool Turbo = false;
  bool ScriptCompleted = false;
  std::int64_t Collisions = 0;
  // Lines it could not use (see above), or a first line that is not the format's: what the reader
  // took may not be all the journal held.
  bool Damaged = false;
  std::optional<std::pair<std::string, std::uint64_t>> Saving;  // the last "saving"
  std::vector<timing::CharTime> Times;                          // the "chars" lines' characters
};

TJournalContents ParseJournal(std::string_view Text);

// The record a journal becomes: its conversation (tidied as a save tidies it), its values, ended at
// the journal's last word, SCRIPTCOMPLETED as its "script" line says. Lines as BuildCallRecord gives
// them.
std::vector<std::string> RecoveredRecord(const TJournalContents& Journal);

// One journal found at start-up, and what became of it.
struct TRecovery {
  enum class Outcome {
    Recovered,     // its record is now in Capture (SetAside: a damaged journal, kept there)
    AlreadySaved,  // a save had written its record before the program ended: only the journal went
    Empty,         // it held no call (ended before its first line): removed
    InUse,         // another running instance has it open: left alone
    Gone,          // another instance recovered it meanwhile: nothing to say
    SetAside,      // no record can be made from it (Error says why): moved to SetAside, kept
    Failed,        // the record could not be written: the journal stays for the next start
  };
  Outcome Result = Outcome::Failed;
  std::string Journal;   // its path
  std::string Capture;   // where the record went, or was to go
  std::string Error;     // for Failed and SetAside: why
  std::string SetAside;  // where the journal was moved, when it was
  // For Failed: whether the journal could be read (Contents says what it holds).
  bool Read = false;
  // For Recovered and AlreadySaved: why the times of its characters could not be saved beside the
  // record (its timing file), if they could not.
  std::string TimingError;
  TJournalContents Contents;
};

// Turns every journal left behind in Folder into a record in its capture file, exactly once: a
// journal is locked while it is read and written, and a save that an earlier run had finished is
// found in the capture file and not made again (a save cut short is completed); the times of its
// characters go into the timing file beside the record, those already there not again.
// Records go only right into CaptureFolder (the current log folder), symbolic links and ".."
// resolved, and only into files with a capture file's name: a journal naming such a file there gets
// its record in that file; one naming a capture file elsewhere (an earlier log folder) gets it in
// the file of the same name in CaptureFolder; one naming anything else, or a file that is not a
// regular one, is set aside as "<journal>.refused". Nothing it opens can make it
// wait (a FIFO, a device). A damaged journal is made into its record from its intact lines and then
// kept as "<journal>.damaged".
std::vector<TRecovery> RecoverJournals(const std::string& Folder, const std::string& CaptureFolder);

}  // namespace corvalis
