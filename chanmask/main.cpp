// chanmask: the channel mask dialog. Runs until the dialog closes; the event
// loop's result is the exit status.
#include "main_dialog.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    MainDialog dialog;
    dialog.show();
    return app.exec();
}
