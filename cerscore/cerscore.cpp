// cerscore: character error rate of a received text against a reference text.
//
// The texts are aligned with a trellis of edit costs filled one received character at a
// time; only the latest two rows are kept, so memory stays at two rows of n integers plus
// the two texts.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr int kUnreachable = 2147483647;

void print_banner() {
  std::fputs("\n", stderr);
  std::fputs("***************************************************************\n", stderr);
  std::fputs("     Scoring Program for Calculating Character Error Rates\n", stderr);
  std::fputs("***************************************************************\n\n", stderr);
}

[[noreturn]] void print_usage(const char* program) {
  std::fprintf(stderr, "use: %s [-v] reference_text received_text score\n\n", program);
  std::fputs("Mandatory parameters:\n", stderr);
  std::fputs("  reference_text : filename with reference text\n", stderr);
  std::fputs("  received_text  : filename with received text\n", stderr);
  std::fputs("  score          : name for output text file with score results\n\n", stderr);
  std::fputs("Options:\n", stderr);
  std::fputs("  -v : Indicates verbose output of the complete trellis.\n", stderr);
  std::fputs("       It's not recommended to use this option if your \n", stderr);
  std::fputs("       reference text is longer than 30 characters.\n\n", stderr);
  std::exit(1);
}

FILE* open_input(const char* name) {
  FILE* f = std::fopen(name, "rb");
  if (!f) {
    std::fprintf(stderr, "Can't open input text file '%s'\n", name);
    std::exit(1);
  }
  return f;
}

// Number of bytes other than carriage returns, read one byte at a time.
long long count_chars(FILE* f) {
  long long count = 0;
  for (int c; (c = std::getc(f)) != EOF;) {
    if (c != '\r') ++count;
  }
  return count;
}

// Fills text[0..len) with the file's bytes, skipping carriage returns.
void load_text(FILE* f, unsigned char* text, int len, const char* name) {
  for (int i = 0; i < len; ++i) {
    int c;
    do {
      c = std::getc(f);
    } while (c == '\r');
    if (c == EOF) {
      std::fprintf(stderr, "\nPremature end of text file '%s'\n", name);
      std::exit(1);
    }
    text[i] = static_cast<unsigned char>(c);
  }
}

void* zeroed(long long count, std::size_t size) {
  // calloc(0) may legitimately return null; ask for one element so that null means failure.
  return std::calloc(count > 0 ? static_cast<std::size_t>(count) : 1, size);
}

}  // namespace

int main(int argc, char** argv) {
  print_banner();

  const int args = argc - 1;
  if (args < 3) print_usage(argv[0]);
  bool verbose = false;
  const char* ref_name;
  const char* rec_name;
  const char* score_name;
  if (std::strcmp(argv[1], "-v") == 0) {
    if (args < 4) print_usage(argv[0]);
    verbose = true;
    ref_name = argv[2];
    rec_name = argv[3];
    score_name = argv[4];
  } else {
    ref_name = argv[1];
    rec_name = argv[2];
    score_name = argv[3];
  }

  FILE* ref = open_input(ref_name);
  const long long ref_count = count_chars(ref);
  FILE* rec = open_input(rec_name);
  const long long rec_count = count_chars(rec);
  std::fclose(ref);
  ref = open_input(ref_name);
  std::fclose(rec);
  rec = open_input(rec_name);

  FILE* score = std::fopen(score_name, "w");
  if (!score) {
    std::fprintf(stderr, "Can't open output file '%s'\n", score_name);
    return 1;
  }

  // Counts beyond a 32-bit int cannot be held in the rows at all.
  const int n = ref_count > INT_MAX ? INT_MAX : static_cast<int>(ref_count);
  const int m = rec_count > INT_MAX ? INT_MAX : static_cast<int>(rec_count);
  auto* prev_row = static_cast<int*>(zeroed(n, sizeof(int)));
  auto* cur_row = static_cast<int*>(zeroed(n, sizeof(int)));
  auto* R = static_cast<unsigned char*>(zeroed(n, 1));
  auto* S = static_cast<unsigned char*>(zeroed(m, 1));
  if (!prev_row || !cur_row || !R || !S || ref_count > INT_MAX || rec_count > INT_MAX) {
    std::fprintf(stderr, "Not enough memory for texts of %d and %d characters\n", n, m);
    std::free(prev_row);
    std::free(cur_row);
    std::free(R);
    std::free(S);
    return 1;
  }

  load_text(ref, R, n, ref_name);
  load_text(rec, S, m, rec_name);

  if (verbose) {
    std::fputs("Reference Text:\n\n", stdout);
    for (int i = 0; i < n; ++i) std::printf("%c", R[i]);
    std::fputs("\n\nReceived Text:\n\n", stdout);
    for (int j = 0; j < m; ++j) std::printf("%c", S[j]);
    std::fputs("\n\nTrellis:\n\n  ", stdout);
    for (int i = 0; i < n; ++i) std::printf("%3c", R[i]);
  }

  // The row before the first received character: reachable only at column 0, so an
  // alignment may start at r0, or at r1 for free.
  if (n > 0) {
    prev_row[0] = 0;
    for (int i = 1; i < n; ++i) prev_row[i] = kUnreachable;
    cur_row[n - 1] = n;
  }

  for (int j = 0; j < m; ++j) {
    const unsigned char s = S[j];
    if (n > 0) cur_row[0] = prev_row[0] + (R[0] == s ? 0 : 1);
    for (int i = 1; i < n; ++i) {
      const int diag = prev_row[i - 1];
      const int up = prev_row[i];
      const int left = cur_row[i - 1];
      // Compared in this order so that the unreachable value is never incremented.
      if (up < diag || left < diag) {
        cur_row[i] = (left < up ? left : up) + 1;
      } else {
        cur_row[i] = diag + (R[i] == s ? 0 : 1);
      }
    }
    // The next row overwrites every entry before reading it, so swapping equals copying.
    std::swap(prev_row, cur_row);
    const int* row = prev_row;
    if (verbose) {
      std::printf("\n%1c ", s);
      for (int i = 0; i < n; ++i) std::printf("%3.1d", row[i]);
    } else {
      std::fprintf(stderr, "\rScoring in progress... %d%% completed.",
                   static_cast<int>((static_cast<long long>(j) + 1) * 100 / m));
    }
  }
  const int* last_row = m > 0 ? prev_row : cur_row;

  // With an empty reference every received character is an extra one.
  const int errors = n > 0 ? last_row[n - 1] : m;
  double rate;
  if (n > 0) {
    rate = errors * 100.0 / n;
  } else {
    rate = m > 0 ? 100.0 : 0.0;
  }

  std::printf("\n");
  std::printf("\nNumber of character errors :  %d", errors);
  std::printf("\nLength of reference text   :  %d", n);
  std::printf("\nCharacter error rate (in %%): %5.2f\n", rate);

  std::fprintf(score, "Received text filename     :  %s", rec_name);
  std::fprintf(score, "\nNumber of character errors :  %d", errors);
  std::fprintf(score, "\nLength of reference text   :  %d", n);
  std::fprintf(score, "\nCharacter error rate (in %%): %5.2f\n", rate);
  std::free(prev_row);
  std::free(cur_row);
  std::free(R);
  std::free(S);
  std::fclose(ref);
  std::fclose(rec);
  // A score file that could not be written (disk full, say) must not pass for a result.
  if (std::fclose(score) != 0) {
    std::fprintf(stderr, "Can't write output file '%s'\n", score_name);
    return 1;
  }
  return 0;
}
