#ifndef REPORTAPPLICATION_H
#define REPORTAPPLICATION_H

// The application object a process needs to draw reports: a QGuiApplication,
// on the offscreen platform unless the environment names another.
//
// Qt 5.15's offscreen platform never deletes its screen; under the leak
// checker that is not this program's leak, so it is made unwatched.

#include <QGuiApplication>

#include <memory>

#if defined(__SANITIZE_ADDRESS__)
#    include <sanitizer/lsan_interface.h>
#endif

inline std::unique_ptr<QGuiApplication> makeReportApplication(int &argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#if defined(__SANITIZE_ADDRESS__)
    __lsan_disable();
#endif
    std::unique_ptr<QGuiApplication> app(new QGuiApplication(argc, argv));
#if defined(__SANITIZE_ADDRESS__)
    __lsan_enable();
#endif
    return app;
}

#endif // REPORTAPPLICATION_H
