// SPDX-License-Identifier: Apache-2.0
// Leaks of the system libraries under Qt (fonts), which the sanitizer build reports but
// the tests cannot free.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
