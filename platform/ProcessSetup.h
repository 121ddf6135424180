#pragma once

/// Process-wide settings every executable makes first, before Qt starts:
/// a file size limit makes a write fail with an error instead of killing the
/// process, and a vanished reader of a pipe does the same for its writer.
void setUpProcess();
