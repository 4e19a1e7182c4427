// The X11 UIs of the test bundle:
// - the gain's: a 160 x 80 window inside the host's parent window, on a
//   display connection of its own. A click anywhere in it sets the gain to
//   3; the gain the host sends is kept so that a test can see both
//   directions;
// - the same window for "xerror", which at its fifth idle call destroys a
//   window that does not exist (an X error, BadWindow, on its connection);
// - the same for "xerror-later", whose fifth idle call starts a thread of
//   its own that, a tenth of a second later (between the host's calls),
//   does so on a connection of that thread's.
#include <lv2/core/lv2.h>
#include <lv2/ui/ui.h>

#include <X11/Xlib.h>

#include <chrono>
#include <cstring>
#include <new>
#include <thread>

namespace {

struct Ui {
    Display* display = nullptr;
    Window window = 0;
    LV2UI_Write_Function write = nullptr;
    LV2UI_Controller controller = nullptr;
    float gain = 1.0f;
    bool faulty = false;
    bool later = false;
    std::thread raiser;
    int idles = 0;
};

LV2UI_Handle make(const LV2UI_Descriptor*, const char*, const char*, LV2UI_Write_Function write,
                  LV2UI_Controller controller, LV2UI_Widget* widget, const LV2_Feature* const* features) {
    Window parent = 0;
    for (int i = 0; features && features[i]; ++i)
        if (!std::strcmp(features[i]->URI, LV2_UI__parent)) parent = reinterpret_cast<Window>(features[i]->data);
    if (!parent) return nullptr;
    auto* ui = new (std::nothrow) Ui;
    if (!ui) return nullptr;
    ui->display = XOpenDisplay(nullptr);
    if (!ui->display) {
        delete ui;
        return nullptr;
    }
    ui->write = write;
    ui->controller = controller;
    const int screen = DefaultScreen(ui->display);
    ui->window = XCreateSimpleWindow(ui->display, parent, 0, 0, 160, 80, 0, BlackPixel(ui->display, screen),
                                     WhitePixel(ui->display, screen));
    XSelectInput(ui->display, ui->window, ButtonPressMask | ExposureMask);
    XMapWindow(ui->display, ui->window);
    XSync(ui->display, False);
    *widget = reinterpret_cast<LV2UI_Widget>(ui->window);
    return ui;
}

void cleanup(LV2UI_Handle h) {
    auto* ui = static_cast<Ui*>(h);
    if (ui->raiser.joinable()) ui->raiser.join();
    XDestroyWindow(ui->display, ui->window);
    XCloseDisplay(ui->display);
    delete ui;
}

void portEvent(LV2UI_Handle h, uint32_t port, uint32_t size, uint32_t protocol, const void* buffer) {
    auto* ui = static_cast<Ui*>(h);
    if (port == 0 && protocol == 0 && size == sizeof(float)) std::memcpy(&ui->gain, buffer, sizeof(float));
}

int idle(LV2UI_Handle h) {
    auto* ui = static_cast<Ui*>(h);
    if (ui->faulty && ++ui->idles == 5) {
        XDestroyWindow(ui->display, ui->window + 0x1000);
        XSync(ui->display, False);
    }
    if (ui->later && ++ui->idles == 5) {
        const Window missing = ui->window + 0x1000;
        ui->raiser = std::thread([missing] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            Display* own = XOpenDisplay(nullptr);
            if (!own) return;
            XDestroyWindow(own, missing);
            XSync(own, False);
            XCloseDisplay(own);
        });
    }
    while (XPending(ui->display)) {
        XEvent e;
        XNextEvent(ui->display, &e);
        if (e.type == ButtonPress) {
            const float three = 3.0f;
            ui->write(ui->controller, 0, sizeof three, 0, &three);
        }
    }
    return 0;
}

const void* extension(const char* uri) {
    static const LV2UI_Idle_Interface idleInterface{idle};
    return std::strcmp(uri, LV2_UI__idleInterface) ? nullptr : &idleInterface;
}

LV2UI_Handle makeFaulty(const LV2UI_Descriptor* d, const char* plugin, const char* bundle, LV2UI_Write_Function write,
                        LV2UI_Controller controller, LV2UI_Widget* widget, const LV2_Feature* const* features) {
    auto* ui = static_cast<Ui*>(make(d, plugin, bundle, write, controller, widget, features));
    if (ui) ui->faulty = true;
    return ui;
}

LV2UI_Handle makeLater(const LV2UI_Descriptor* d, const char* plugin, const char* bundle, LV2UI_Write_Function write,
                       LV2UI_Controller controller, LV2UI_Widget* widget, const LV2_Feature* const* features) {
    auto* ui = static_cast<Ui*>(make(d, plugin, bundle, write, controller, widget, features));
    if (ui) ui->later = true;
    return ui;
}

const LV2UI_Descriptor descriptors[] = {
    {"urn:quillmarsh:test:gain-ui", make, cleanup, portEvent, extension},
    {"urn:quillmarsh:test:xerror-ui", makeFaulty, cleanup, portEvent, extension},
    {"urn:quillmarsh:test:xerror-later-ui", makeLater, cleanup, portEvent, extension},
};

}  // namespace

LV2_SYMBOL_EXPORT const LV2UI_Descriptor* lv2ui_descriptor(uint32_t index) {
    return index < sizeof descriptors / sizeof descriptors[0] ? &descriptors[index] : nullptr;
}
