#include "SlateApplication.h"

#include "Tasks.h"

#include <algorithm>

namespace
{
std::shared_ptr<FSlateApplication>& Instance()
{
    static std::shared_ptr<FSlateApplication> Application;
    return Application;
}
} // namespace

void FSlateApplication::Create()
{
    Shutdown();
    Instance() = std::make_shared<FSlateApplication>();
    Instance()->Renderer = std::make_unique<FSlateRenderer>();
    Instance()->PlatformApplication = std::make_shared<GenericApplication>();
    Instance()->PlatformApplication->SetMessageHandler(Instance());
}

void FSlateApplication::Shutdown()
{
    // Queued compositions refer to the renderer and the windows.
    FlushRenderingCommands();
    if (Instance())
    {
        // The platform application holds its handler, which may be this application
        // (directly or through a wrapper); letting go of it breaks the cycle.
        Instance()->PlatformApplication.reset();
        Instance()->PreProcessors.clear();
    }
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
