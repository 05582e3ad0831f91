#pragma once

#include <functional>
#include <memory>

class BrowserControl;
class TfrmMain;
class TFrmAbout;
class TfrmStart;
class TFrmOpzioni;

// The four windows that live as long as the program, created in this order:
// main, about, start, options.
struct Finestre {
    std::unique_ptr<TfrmMain> main;
    std::unique_ptr<TFrmAbout> about;
    std::unique_ptr<TfrmStart> start;
    std::unique_ptr<TFrmOpzioni> opzioni;
    Finestre();
    Finestre(Finestre &&) noexcept;
    Finestre &operator=(Finestre &&) noexcept;
    ~Finestre();
};

// onCreated, when given, hears each window's class name as it is created.
Finestre CreaFinestre(std::unique_ptr<BrowserControl> browser = nullptr,
                      const std::function<void(const char *)> &onCreated = {});
