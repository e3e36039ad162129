// The player's version, as text and as the four numbers of a Windows version resource.
// Plain macros: the resource compiler reads this file too.
#pragma once

#define MF_PLAYER_VERSION_TEXT "1.5"
#define MF_PLAYER_VERSION_NUMBERS 1, 5, 0, 0
