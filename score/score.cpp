// SPDX-License-Identifier: Apache-2.0
// score: judges a compare text against a master text in terms of the 5-bit Baudot code of
// text telephones and reports PCER, CCER and TCER.
//
// Both texts are read whole (line ends and characters without a Baudot form dropped, small
// letters made capitals), aligned window by window, and written to the score file as an
// annotated copy of the master text followed by the report.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diff.h"

namespace score {

int keepByte(int c) {
  if (c == 13 || c == 10) return -1;
  if (asciiToBaudotTable[c & 0x7f] == 255) return -1;
  if (c >= 'a' && c <= 'z') return c - 'a' + 'A';
  return c;
}

bool alignTexts(ScoreState& st, int mlength, const unsigned char* master, int clength,
                const unsigned char* buffer, FILE* fp) {
  int mpos = 0;
  int cpos = 0;
  while (mpos < mlength) {
    // Identical stretch: no alignment needed.
    while (mpos < mlength && cpos < clength && master[mpos] == buffer[cpos]) {
      scoreMatched(st, master[mpos], buffer[cpos], fp);
      st.counter += 100.0 / mlength;
      ++mpos;
      ++cpos;
    }
    if (mpos >= mlength) break;
    const int left = mlength - mpos;
    const int mwindow = left >= kWindow ? kWindow : left;
    const int cwindow = clength - cpos >= kWindow ? kWindow : clength - cpos;
    const int step = left >= kWindow ? kStep : left;
    if (!build(st, mwindow, master + mpos, cwindow, buffer + cpos)) return false;
    cpos += solve(st, mwindow, master + mpos, cwindow, buffer + cpos, step, fp,
                  static_cast<double>(step) / mlength);
    mpos += step;
  }
  return true;
}

bool block(ScoreState& st, int mlength, const unsigned char* master, int clength, const unsigned char* buffer,
           FILE* fp, double* character, double* consumer, double* shift) {
  st.mlength = mlength;
  if (!init(st)) return false;
  if (!alignTexts(st, mlength, master, clength, buffer, fp)) {
    std::free(st.nodes);
    st.nodes = nullptr;
    return false;
  }
  done(st, fp, character, consumer, shift);
  return true;
}

ScoreRun runScore(std::string_view masterText, std::string_view compareText, bool literalSearch) {
  auto keep = [](std::string_view raw) {
    std::string kept;
    for (char ch : raw) {
      const int c = keepByte(static_cast<unsigned char>(ch));
      if (c >= 0) kept += static_cast<char>(c);
    }
    return kept;
  };
  const std::string master = keep(masterText);
  const std::string compare = keep(compareText);

  ScoreRun run;
  char* fileBytes = nullptr;
  char* consoleBytes = nullptr;
  std::size_t fileSize = 0;
  std::size_t consoleSize = 0;
  FILE* fp = open_memstream(&fileBytes, &fileSize);
  FILE* console = open_memstream(&consoleBytes, &consoleSize);
  if (fp && console) {
    run.state.console = console;
    run.state.literalSearch = literalSearch;
    run.ok = block(run.state, static_cast<int>(master.size()),
                   reinterpret_cast<const unsigned char*>(master.data()), static_cast<int>(compare.size()),
                   reinterpret_cast<const unsigned char*>(compare.data()), fp, &run.character, &run.consumer,
                   &run.shift);
    run.state.console = nullptr;
  }
  if (fp) std::fclose(fp);
  if (console) std::fclose(console);
  if (fileBytes) run.scoreFile.assign(fileBytes, fileSize);
  if (consoleBytes) run.console.assign(consoleBytes, consoleSize);
  std::free(fileBytes);
  std::free(consoleBytes);
  return run;
}

}  // namespace score

#ifndef SCORE_NO_MAIN

using namespace score;

namespace {

unsigned char master[kTextLimit];
unsigned char buffer[kTextLimit];

enum class ReadResult { ok, tooLarge, failed };

// Reads a file byte by byte into text; the limit is checked before each byte is examined.
ReadResult readText(FILE* f, unsigned char* text, int& length) {
  length = 0;
  for (int c; (c = std::getc(f)) != EOF;) {
    if (length == kTextLimit) return ReadResult::tooLarge;
    c = keepByte(c);
    if (c >= 0) text[length++] = static_cast<unsigned char>(c);
  }
  return std::ferror(f) ? ReadResult::failed : ReadResult::ok;
}

// A folder opens for reading here but holds no text: it counts as a file that cannot be opened.
FILE* openInput(const char* name) {
  FILE* f = std::fopen(name, "rb");
  struct stat info;
  if (f && fstat(fileno(f), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(f);
    return nullptr;
  }
  return f;
}

// Whether the file called name is the open file f (the same file, also through a link).
bool sameFile(const char* name, FILE* f) {
  struct stat named, open;
  return stat(name, &named) == 0 && fstat(fileno(f), &open) == 0 && named.st_dev == open.st_dev &&
         named.st_ino == open.st_ino;
}

// Every message goes to standard output, so output that could not be written is a failure.
int finish(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fputs("Error writing <standard output>\n", stderr);
    return 1;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("%s\n", ver);
  std::printf("%s\n\n", cpy);

  if (argc == 2 && std::strcmp(argv[1], "-disco") == 0) {
    for (int i = static_cast<int>(std::strlen(ver)) - 1; i >= 0; --i) std::printf("%c", ver[i]);
    std::printf("\n");
    for (int i = static_cast<int>(std::strlen(cpy)) - 1; i >= 0; --i) std::printf("%c", cpy[i]);
    std::printf("\n\n");
    return finish(0);
  }
  if (argc != 4) {
    std::printf("Usage:%s masterfile comparefile scorefile\n", argc > 0 ? argv[0] : "score");
    return finish(1);
  }
  const char* masterName = argv[1];
  const char* compareName = argv[2];
  const char* scoreName = argv[3];

  FILE* comp = openInput(compareName);
  if (!comp) {
    std::printf("Error opening <%s>\n", compareName);
    return finish(1);
  }
  FILE* mast = openInput(masterName);
  if (!mast) {
    std::printf("Error opening <%s>\n", masterName);
    return finish(1);
  }
  // Opening the score file empties it: an input named as the score file would be lost.
  if (sameFile(scoreName, comp) || sameFile(scoreName, mast)) {
    std::printf("Score file <%s> is an input file\n", scoreName);
    return finish(1);
  }
  FILE* fp = std::fopen(scoreName, "wb");
  if (!fp) {
    std::printf("Error opening <%s>\n", scoreName);
    return finish(1);
  }

  int mlength = 0;
  int clength = 0;
  const char* unreadable = nullptr;
  ReadResult read = readText(mast, master, mlength);
  if (read == ReadResult::tooLarge) std::printf("Master File too Large.  Limit = %d\n", kTextLimit);
  if (read == ReadResult::failed) unreadable = masterName;
  if (read == ReadResult::ok) {
    read = readText(comp, buffer, clength);
    if (read == ReadResult::tooLarge) std::printf("Compare File too Large.  Limit = %d\n", kTextLimit);
    if (read == ReadResult::failed) unreadable = compareName;
  }
  if (unreadable) std::printf("Error reading <%s>\n", unreadable);
  if (read != ReadResult::ok) {
    std::fclose(fp);
    std::fclose(mast);
    std::fclose(comp);
    return finish(1);
  }

  ScoreState st{};
  st.console = stdout;
  double character = 0;
  double consumer = 0;
  double shift = 0;
  if (!block(st, mlength, master, clength, buffer, fp, &character, &consumer, &shift)) return finish(1);

  std::printf("Percentage Error (PCER) = %5.2f\n", character);
  std::printf("Percentage Error (CCER) = %5.2f\n", consumer);
  std::printf("Percentage Error (TCER) = %5.2f\n", shift);

  // A score file that could not be written (a full disk, say) must not pass for a result.
  const bool writeFailed = std::ferror(fp) != 0;
  const bool closeFailed = std::fclose(fp) != 0;
  std::fclose(mast);
  std::fclose(comp);
  if (writeFailed || closeFailed) {
    std::printf("Error writing <%s>\n", scoreName);
    return finish(1);
  }
  return finish(0);
}

#endif
