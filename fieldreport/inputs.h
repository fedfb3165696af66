// SPDX-License-Identifier: Apache-2.0
#pragma once
// Finding the capture files of a day: the files named and the *.TXT files in the folders named,
// each file once, with every place that could not be searched said, never skipped in silence.
// The wire traces of real-time text calls (*.rtttrace, and *.rtttrace.part for a call cut short)
// are found the same way, to be judged beside the captures.
#include <filesystem>
#include <string>
#include <vector>

namespace fieldreport {

// A file to read, or a place that could not be read and why.
struct Input {
  std::string path;
  std::string problem;    // empty for a file to read
  bool searched = false;  // found in a folder rather than named
  std::string note;       // when set, not to be read, and why (a FIFO named like a capture)
  bool trace = false;     // a wire trace of a real-time text call, not a capture
};

// A folder fieldreport writes its texts into holds this file; such a folder is never searched
// for captures, so that a report's outputs are not read back as captures by the next run.
inline constexpr const char* kTextsMarker = ".fieldreport-texts";

// The capture files named and found in the folders named, in the order of the arguments (the
// files of a folder by name, folders searched through links, each file once however it is
// reached). Listed as problems: names that name nothing, links that lead nowhere or back into a
// folder above them (a loop), folders and files that cannot be read. Anything named like a
// capture in a folder that is no regular file (a FIFO, a socket, a device) is listed with a
// note and never opened: opening a FIFO would wait for a writer for ever. Folders holding
// kTextsMarker are left out and reported in `outputFolders`.
std::vector<Input> findCaptures(const std::vector<std::string>& arguments,
                                std::vector<std::string>& outputFolders);

// Whether a file name ends in .TXT in any case.
bool isCaptureName(const std::filesystem::path& path);

// Whether a file name is a wire trace's: it ends in .rtttrace or .rtttrace.part.
bool isTraceName(const std::filesystem::path& path);

}  // namespace fieldreport
