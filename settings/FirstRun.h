#pragma once

class Dialogs;
class SettingsStore;

// Asks for the five settings the first time the program runs and stores each
// answer as soon as it is accepted. Returns false when the user gave no
// address, in which case nothing has been stored.
[[nodiscard]] bool runFirstRunSetup(SettingsStore &store, Dialogs &dialogs);
