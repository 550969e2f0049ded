// Slate's side of input: platform messages become Slate events, offered to the
// input preprocessors in order and then to the game viewport.
#include "SlateApplication.h"

#include <algorithm>
#include <cmath>

void FSlateApplication::PumpMessages()
{
    // The pump may run handlers that unregister things; keep the platform alive.
    if (const std::shared_ptr<GenericApplication> Platform = PlatformApplication)
    {
        Platform->PumpMessages();
    }
}

bool FSlateApplication::RegisterInputPreProcessor(std::shared_ptr<IInputProcessor> Processor,
                                                  int32 Index)
{
    if (!Processor ||
        std::find(PreProcessors.begin(), PreProcessors.end(), Processor) != PreProcessors.end())
    {
        return false;
    }
    if (Index < 0 || Index >= static_cast<int32>(PreProcessors.size()))
    {
        PreProcessors.push_back(std::move(Processor));
    }
    else
    {
        PreProcessors.insert(PreProcessors.begin() + Index, std::move(Processor));
    }
    return true;
}

void FSlateApplication::UnregisterInputPreProcessor(
    const std::shared_ptr<IInputProcessor>& Processor)
{
    std::erase(PreProcessors, Processor);
}

FVector2D FSlateApplication::GetCursorPos() const
{
    return PlatformApplication ? PlatformApplication->GetCursorPosition() : FVector2D{};
}

bool FSlateApplication::GetGameViewportScreenGeometry(FGeometry& OutGeometry) const
{
    const std::shared_ptr<SWindow> Window = FindWidgetWindow(GameViewport);
    if (!Window ||
        !Window->FindChildGeometry(Window->GetWindowGeometryInWindow(), *GameViewport, OutGeometry))
    {
        return false;
    }
    const FVector2D Origin = Window->GetPositionInScreen();
    OutGeometry.AbsolutePosition.X += static_cast<float>(Origin.X);
    OutGeometry.AbsolutePosition.Y += static_cast<float>(Origin.Y);
    return true;
}

template <typename FPreHandler, typename FGameHandler>
bool FSlateApplication::Route(FPreHandler&& PreHandler, FGameHandler&& GameHandler)
{
    // A preprocessor may unregister itself or others while it runs.
    const std::vector<std::shared_ptr<IInputProcessor>> Snapshot = PreProcessors;
    for (const std::shared_ptr<IInputProcessor>& Processor : Snapshot)
    {
        if (PreHandler(*Processor))
        {
            return true;
        }
    }
    FGeometry Geometry;
    if (!GameViewport || !GameViewport->GetViewportInterface() ||
        !GetGameViewportScreenGeometry(Geometry))
    {
        return false;
    }
    return GameHandler(*GameViewport->GetViewportInterface(), Geometry);
}

bool FSlateApplication::OnKeyDown(int32 KeyCode, uint32 CharacterCode, bool bIsRepeat)
{
    const FKeyEvent Event(EKeys::FromKeyCode(KeyCode), static_cast<uint32>(KeyCode), CharacterCode,
                          bIsRepeat);
    return Route([&](IInputProcessor& P) { return P.HandleKeyDownEvent(*this, Event); },
                 [&](ISlateViewport& V, const FGeometry& G) { return V.OnKeyDown(G, Event); });
}

bool FSlateApplication::OnKeyUp(int32 KeyCode, uint32 CharacterCode, bool bIsRepeat)
{
    const FKeyEvent Event(EKeys::FromKeyCode(KeyCode), static_cast<uint32>(KeyCode), CharacterCode,
                          bIsRepeat);
    return Route([&](IInputProcessor& P) { return P.HandleKeyUpEvent(*this, Event); },
                 [&](ISlateViewport& V, const FGeometry& G) { return V.OnKeyUp(G, Event); });
}

bool FSlateApplication::OnMouseDown(EMouseButtons::Type Button, FVector2D CursorPosition)
{
    const FPointerEvent Event = FPointerEvent::Mouse(CursorPosition, LastCursorPosition, Button);
    LastCursorPosition = CursorPosition;
    return Route([&](IInputProcessor& P) { return P.HandleMouseButtonDownEvent(*this, Event); },
                 [&](ISlateViewport& V, const FGeometry& G) { return V.OnPointerDown(G, Event); });
}

bool FSlateApplication::OnMouseUp(EMouseButtons::Type Button, FVector2D CursorPosition)
{
    const FPointerEvent Event = FPointerEvent::Mouse(CursorPosition, LastCursorPosition, Button);
    LastCursorPosition = CursorPosition;
    return Route([&](IInputProcessor& P) { return P.HandleMouseButtonUpEvent(*this, Event); },
                 [&](ISlateViewport& V, const FGeometry& G) { return V.OnPointerUp(G, Event); });
}

bool FSlateApplication::OnMouseDoubleClick(EMouseButtons::Type Button, FVector2D CursorPosition)
{
    const FPointerEvent Event = FPointerEvent::Mouse(CursorPosition, LastCursorPosition, Button);
    return Route([&](IInputProcessor& P)
                 { return P.HandleMouseButtonDoubleClickEvent(*this, Event); },
                 [](ISlateViewport&, const FGeometry&) { return false; });
}

bool FSlateApplication::OnMouseWheel(float Delta, FVector2D CursorPosition)
{
    const FPointerEvent Event =
        FPointerEvent::Mouse(CursorPosition, LastCursorPosition, EMouseButtons::Invalid, Delta);
    return Route([&](IInputProcessor& P)
                 { return P.HandleMouseWheelOrGestureEvent(*this, Event, nullptr); },
                 [&](ISlateViewport& V, const FGeometry& G) { return V.OnMouseWheel(G, Event); });
}

bool FSlateApplication::OnMouseMove()
{
    const FVector2D Position = GetCursorPos();
    if (Position == LastCursorPosition)
    {
        return false;
    }
    const FPointerEvent Event =
        FPointerEvent::Mouse(Position, LastCursorPosition, EMouseButtons::Invalid);
    LastCursorPosition = Position;
    return Route([&](IInputProcessor& P) { return P.HandleMouseMoveEvent(*this, Event); },
                 [&](ISlateViewport& V, const FGeometry& G) { return V.OnPointerMove(G, Event); });
}

bool FSlateApplication::OnRawMouseMove(int32 X, int32 Y)
{
    // Raw motion feeds the game's look axes, which this engine does not model.
    (void)X, (void)Y;
    return true;
}

bool FSlateApplication::OnTouchStarted(FVector2D Location, float Force, int32 TouchIndex,
                                       int32 ControllerId)
{
    (void)ControllerId;
    Touches[TouchIndex] = {Location, Force};
    const FPointerEvent Event =
        FPointerEvent::Touch(static_cast<uint32>(TouchIndex), Location, Location, Force);
    return Route([&](IInputProcessor& P) { return P.HandleMouseButtonDownEvent(*this, Event); },
                 [&](ISlateViewport& V, const FGeometry& G) { return V.OnPointerDown(G, Event); });
}

bool FSlateApplication::OnTouchMoved(FVector2D Location, float Force, int32 TouchIndex,
                                     int32 ControllerId)
{
    (void)ControllerId;
    const auto Known = Touches.find(TouchIndex);
    const FVector2D Previous = Known != Touches.end() ? Known->second.Position : Location;
    Touches[TouchIndex] = {Location, Force};
    const FPointerEvent Event =
        FPointerEvent::Touch(static_cast<uint32>(TouchIndex), Location, Previous, Force);
    return Route([&](IInputProcessor& P) { return P.HandleMouseMoveEvent(*this, Event); },
                 [&](ISlateViewport& V, const FGeometry& G) { return V.OnPointerMove(G, Event); });
}

bool FSlateApplication::OnTouchEnded(FVector2D Location, int32 TouchIndex, int32 ControllerId)
{
    (void)ControllerId;
    FTouchPoint Last{Location, 0.f};
    if (const auto Known = Touches.find(TouchIndex); Known != Touches.end())
    {
        Last = Known->second;
        Touches.erase(Known);
    }
    const FPointerEvent Event =
        FPointerEvent::Touch(static_cast<uint32>(TouchIndex), Location, Last.Position, Last.Force);
    return Route([&](IInputProcessor& P) { return P.HandleMouseButtonUpEvent(*this, Event); },
                 [&](ISlateViewport& V, const FGeometry& G) { return V.OnPointerUp(G, Event); });
}
