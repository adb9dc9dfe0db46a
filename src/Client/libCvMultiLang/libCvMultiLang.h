// Language selection for the UI profile document.
#pragma once

// Fills the set of installed languages when it is empty.
void EnsureInstalledLanguages();
