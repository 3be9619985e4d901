// Input made on the X server itself (XTest), as a keyboard would make it:
// whatever window has the focus sees it.
#pragma once

// Presses or releases the key of an X key symbol and waits until the server
// has it, then lets a turn of the event loop pass (as between two frames, so
// the program reads the server's key state anew). False when the display has
// no XTest extension or no such key.
bool FakeServerKey(unsigned long keysym, bool down);
// Moves the pointer to the screen point and clicks the button (1 left, 3
// right, 4 and 5 the wheel up and down). False without XTest.
bool FakeServerClick(int x, int y, unsigned button);
// Moves the pointer to the screen point (the server's pixels), or presses or
// releases a button where it is. False without XTest.
bool FakeServerMotion(int x, int y);
bool FakeServerButton(unsigned button, bool down);
