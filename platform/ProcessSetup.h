#pragma once

/// Process-wide settings every executable makes first, before Qt starts:
/// a closed standard stream is opened on the null device, so that no file
/// opened later takes its place; a file size limit makes a write fail with an
/// error instead of killing the process, and a vanished reader of a pipe does
/// the same for its writer.
void setUpProcess();
/// How many more files this process may open (its limit less those open);
/// -1 where that cannot be known.
int freeDescriptors();
