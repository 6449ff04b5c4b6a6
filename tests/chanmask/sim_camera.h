// A fresh simulated camera for one Qt test case: created in its own
// temporary folder, traced, and handed to every shell the dialog starts
// (LD_PRELOAD and QXSIM_STATE in the test process's environment, inherited
// by system()'s shell). The test process itself is not interposed.
#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>

#include <memory>
#include <string>

namespace qxsim {
class Camera;
}

class SimCamera {
public:
    SimCamera();
    ~SimCamera();

    bool ok() const { return camera_ != nullptr; }
    const QString& error() const { return error_; }

    // Proc lines the camera took since the last call, in order.
    QStringList take_proc_lines();
    // Proc lines it refused since the last call.
    QStringList take_refused_lines();

    // Register as the camera holds it now.
    quint32 reg(quint32 reg);
    // Decoded state of the channel block, as `qxsim show` prints it.
    QString show_channels();

    bool set_fault(const std::string& name);
    bool clear_faults();

private:
    void read_trace();

    QTemporaryDir dir_;
    std::unique_ptr<qxsim::Camera> camera_;
    QString error_;
    qint64 trace_read_ = 0;
    QStringList accepted_;
    QStringList refused_;
};
