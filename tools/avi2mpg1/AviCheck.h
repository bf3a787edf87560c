#pragma once

#include <string>

// A recorder that stops without finishing its AVI (a full disk, a crash, a
// pulled plug) leaves the RIFF sizes of the start and no index at the end;
// FFmpeg then reads the pictures that are there as if they were the whole
// clip. Throws av::Error when a regular file in RIFF AVI form is shorter
// than its headers say or ends without its index (idx1, or the OpenDML
// index of a file in several parts). Anything else is left to FFmpeg.
void checkAviIsWhole(const std::string &path);
