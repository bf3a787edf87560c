#pragma once

class Dialogs;
class SettingsStore;

// Asks for the five settings the first time the program runs and stores each
// answer as soon as it is accepted; an answer the store cannot keep is
// reported and the questions go on. The password is shown as "*" while it is
// typed. Returns false when the user gave no address, in which case nothing
// has been stored.
[[nodiscard]] bool runFirstRunSetup(SettingsStore &settings, Dialogs &dialogs);
