#pragma once
// What the program settles before its window exists: the registry it keeps
// its settings and the writer plugin's registration in, and the plugin's
// registration itself. Main thread, after the application object is made.

#include <QString>

// Checks both registry hives and lets the user on: a damaged file of the
// user's settings is set aside (renamed and kept) for fresh settings or the
// program ends, a damaged file of the registrations is set aside with a word,
// and a hive another program holds is waited for briefly and named, with
// Retry or Exit. Then registers the writer plugin when it is not registered.
// False when the user chose to end the program.
bool PrepareRegistry(const QString& ProgramDir);

// The AVI writer plugin beside the program (ProgramDir) or in lib/tharvest
// once installed, registered by regsvr when no sound registration names an
// existing module.
void RegisterWriterPlugin(const QString& ProgramDir);
