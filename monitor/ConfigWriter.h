// The writer of the settings file: the Options dialog's WriteConfig.
#pragma once

namespace tov {

// Writes Config as the one 184-byte record of Config.bin in the current
// directory. The file is replaced whole (a new file beside it, flushed, then
// renamed over it), so a crash or a full disk leaves the old settings, never
// a part of the new. Raises EInOutError; Config.bin is then as it was. A
// read-only Config.bin is not replaced ("File access denied").
void WriteConfig();

}  // namespace tov
