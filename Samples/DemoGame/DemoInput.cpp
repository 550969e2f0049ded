#include "DemoInput.h"

#include <cmath>

namespace
{
constexpr double RoundSeconds = 10.0;
// How fast the drag moves the mouse, in counts (pixels) a second.
constexpr double DragSpeed = 360.0;
} // namespace

FDemoInputScript::FDemoInputScript(FVector2D InViewportOrigin) : ViewportOrigin(InViewportOrigin)
{
    using S = FDemoInputScript;
    using O = FSyntheticOsInput;
    Actions = {
        {1.0, // a click on the left of the view
         [](S& Self, O& Os)
         {
             Os.SetCursorPosition(Self.At(120 + Self.Round % 4 * 40, 140));
             Os.PressMouseButton(EMouseButtons::Left);
             ++Self.Counts.Clicks;
         }},
        {1.1, [](S&, O& Os) { Os.ReleaseMouseButton(EMouseButtons::Left); }},
        {1.7, // a drag to the right with the cursor locked, as in a camera drag
         [](S& Self, O& Os)
         {
             Os.SetCursorPosition(Self.At(80, 220 - Self.Round % 4 * 20));
             Os.SetCursorLocked(true);
             Os.PressMouseButton(EMouseButtons::Left);
             Self.bDragging = true;
             ++Self.Counts.Drags;
         }},
        {2.3,
         [](S& Self, O& Os)
         {
             Self.bDragging = false;
             Os.ReleaseMouseButton(EMouseButtons::Left);
             Os.SetCursorLocked(false);
         }},
        {3.0, // a long press
         [](S& Self, O& Os)
         {
             Os.SetCursorPosition(Self.At(420 - Self.Round % 4 * 40, 90));
             Os.PressMouseButton(EMouseButtons::Left);
             ++Self.Counts.LongPresses;
         }},
        {3.75, [](S&, O& Os) { Os.ReleaseMouseButton(EMouseButtons::Left); }},
        {4.3, // a firm tap on the touch screen
         [](S& Self, O& Os)
         {
             Os.TouchStart(0, Self.At(500, 160 + Self.Round % 4 * 40), 0.7f);
             ++Self.Counts.Touches;
         }},
        {4.4, [](S& Self, O& Os) { Os.TouchEnd(0, Self.At(500, 160 + Self.Round % 4 * 40)); }},
        {5.0, // a swipe on the touch screen
         [](S& Self, O& Os)
         {
             Os.TouchStart(1, Self.At(560, 300), 0.f);
             ++Self.Counts.Touches;
         }},
        {5.25, [](S& Self, O& Os) { Os.TouchMove(1, Self.At(460, 280), 0.f); }},
        {5.5, [](S& Self, O& Os) { Os.TouchEnd(1, Self.At(360, 260)); }},
        {5.8, // a second click, near the top
         [](S& Self, O& Os)
         {
             Os.SetCursorPosition(Self.At(240, 100));
             Os.PressMouseButton(EMouseButtons::Left);
             ++Self.Counts.Clicks;
         }},
        {5.9, [](S&, O& Os) { Os.ReleaseMouseButton(EMouseButtons::Left); }},
        {6.3, // W held for a second: the keyboard repeats it
         [](S& Self, O& Os)
         {
             Os.PressKey('W', 'w');
             ++Self.Counts.KeyPresses;
         }},
        {7.3, [](S&, O& Os) { Os.ReleaseKey('W'); }},
        {7.8,
         [](S& Self, O& Os)
         {
             Os.PressKey(' ', ' ');
             ++Self.Counts.KeyPresses;
         }},
        {7.9, [](S&, O& Os) { Os.ReleaseKey(' '); }},
        {8.3, // three notches of the wheel
         [](S& Self, O& Os)
         {
             Os.SetCursorPosition(Self.At(320, 180));
             Os.ScrollWheel(-1.f);
             ++Self.Counts.Scrolls;
         }},
        {8.5,
         [](S& Self, O& Os)
         {
             Os.ScrollWheel(-1.f);
             ++Self.Counts.Scrolls;
         }},
        {8.7,
         [](S& Self, O& Os)
         {
             Os.ScrollWheel(1.f);
             ++Self.Counts.Scrolls;
         }},
    };
}

FVector2D FDemoInputScript::At(double X, double Y) const
{
    return {ViewportOrigin.X + X, ViewportOrigin.Y + Y};
}

void FDemoInputScript::Step(double Now, FSyntheticOsInput& Os)
{
    if (StartSeconds < 0.0)
    {
        StartSeconds = LastSeconds = Now;
    }
    if (bDragging)
    {
        // The drag covers the same distance at any frame rate.
        const double Counts = std::round((Now - LastSeconds) * DragSpeed);
        Os.MoveMouse(static_cast<int32>(Counts), 0);
    }
    LastSeconds = Now;
    const double Elapsed = Now - StartSeconds - Round * RoundSeconds;
    if (NextAction < Actions.size() && Elapsed >= Actions[NextAction].At)
    {
        Actions[NextAction++].Run(*this, Os);
    }
    else if (NextAction == Actions.size() && Elapsed >= RoundSeconds)
    {
        NextAction = 0;
        ++Round;
    }
}
