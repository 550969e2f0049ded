#include "DemoInput.h"

namespace
{
constexpr uint64 ScriptFrames = 600; // ten seconds at 60 frames per second
} // namespace

void FDemoInputScript::Step(uint64 Frame, FSyntheticOsInput& Os)
{
    const uint64 F = Frame % ScriptFrames;
    // Positions shift with each round, so repeated rounds leave different marks.
    const double Shift = static_cast<double>((Frame / ScriptFrames) % 4) * 40.0;
    switch (F)
    {
    case 60: // a click on the left of the view
        Os.SetCursorPosition(At(120 + Shift, 140));
        Os.PressMouseButton(EMouseButtons::Left);
        ++Counts.Clicks;
        return;
    case 66:
        Os.ReleaseMouseButton(EMouseButtons::Left);
        return;
    case 100: // a drag to the right, with the cursor locked as in a camera drag
        Os.SetCursorPosition(At(80, 220 - Shift / 2));
        Os.SetCursorLocked(true);
        Os.PressMouseButton(EMouseButtons::Left);
        ++Counts.Drags;
        return;
    case 140:
        Os.ReleaseMouseButton(EMouseButtons::Left);
        Os.SetCursorLocked(false);
        return;
    case 180: // a long press
        Os.SetCursorPosition(At(420 - Shift, 90));
        Os.PressMouseButton(EMouseButtons::Left);
        ++Counts.LongPresses;
        return;
    case 225:
        Os.ReleaseMouseButton(EMouseButtons::Left);
        return;
    case 260: // a tap on the touch screen, pressed firmly
        Os.TouchStart(0, At(500, 160 + Shift), 0.7f);
        ++Counts.Touches;
        return;
    case 266:
        Os.TouchEnd(0, At(500, 160 + Shift));
        return;
    case 300: // a swipe on the touch screen
        Os.TouchStart(1, At(560, 300), 0.f);
        ++Counts.Touches;
        return;
    case 330:
        Os.TouchEnd(1, At(360, 260));
        return;
    case 380: // W held for a second: the keyboard repeats it
        Os.PressKey('W', 'w');
        ++Counts.KeyPresses;
        return;
    case 440:
        Os.ReleaseKey('W');
        return;
    case 470:
        Os.PressKey(' ', ' ');
        ++Counts.KeyPresses;
        return;
    case 474:
        Os.ReleaseKey(' ');
        return;
    case 500:
    case 510:
    case 520: // three notches of the wheel
        Os.SetCursorPosition(At(320, 180));
        Os.ScrollWheel(F == 520 ? 1.f : -1.f);
        ++Counts.Scrolls;
        return;
    default:
        if (F > 100 && F < 140)
        {
            Os.MoveMouse(6, 0); // the drag itself: raw motion while the cursor is locked
        }
        return;
    }
}
