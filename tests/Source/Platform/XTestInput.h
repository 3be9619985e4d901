// Input made on the X server itself (XTest), as a keyboard would make it:
// whatever window has the focus sees it.
#pragma once

// Presses or releases the key of an X key symbol and waits until the server
// has it. False when the display has no XTest extension or no such key.
bool FakeServerKey(unsigned long keysym, bool down);
