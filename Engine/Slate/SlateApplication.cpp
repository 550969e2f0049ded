#include "SlateApplication.h"

#include "Tasks.h"

#include <algorithm>

namespace
{
std::unique_ptr<FSlateApplication>& Instance()
{
    static std::unique_ptr<FSlateApplication> Application;
    return Application;
}
} // namespace

void FSlateApplication::Create()
{
    Shutdown();
    Instance() = std::make_unique<FSlateApplication>();
    Instance()->Renderer = std::make_unique<FSlateRenderer>();
}

void FSlateApplication::Shutdown()
{
    // Queued compositions refer to the renderer and the windows.
    FlushRenderingCommands();
    Instance().reset();
}

bool FSlateApplication::IsInitialized()
{
    return Instance() != nullptr;
}

FSlateApplication& FSlateApplication::Get()
{
    return *Instance();
}

void FSlateApplication::AddWindow(std::shared_ptr<SWindow> Window)
{
    if (Window && std::find(Windows.begin(), Windows.end(), Window) == Windows.end())
    {
        Windows.push_back(std::move(Window));
    }
}

void FSlateApplication::RemoveWindow(const std::shared_ptr<SWindow>& Window)
{
    std::erase(Windows, Window);
}

void FSlateApplication::SetRendererEnabled(bool bEnabled)
{
    if (bEnabled == (Renderer != nullptr))
    {
        return;
    }
    FlushRenderingCommands();
    Renderer = bEnabled ? std::make_unique<FSlateRenderer>() : nullptr;
}

std::shared_ptr<SWindow>
FSlateApplication::FindWidgetWindow(const std::shared_ptr<SWidget>& Widget) const
{
    if (!Widget)
    {
        return nullptr;
    }
    for (const std::shared_ptr<SWindow>& Window : Windows)
    {
        if (Window.get() == Widget.get() || Window->GetViewportWidget() == Widget)
        {
            return Window;
        }
    }
    return nullptr;
}

void FSlateApplication::DrawWindows()
{
    if (Renderer)
    {
        Renderer->DrawWindows(Windows);
    }
}
