// Keyboard polling for code that runs once per frame: is a key held right now,
// whichever window has the focus. Reads the platform key-state table.
#pragma once

// Virtual-key code; 134 and 135 stand for a mouse-wheel movement up and down.
bool IsKeyDown(int key);
