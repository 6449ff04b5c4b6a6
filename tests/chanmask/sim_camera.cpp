#include "sim_camera.h"

#include "qxsim/model/camera.h"
#include "qxsim/model/trace_format.h"

#include <QFile>
#include <QtGlobal>

#include <sstream>

SimCamera::SimCamera()
{
    std::string err;
    const std::string dir = dir_.path().toStdString();
    if (!dir_.isValid() || !qxsim::Camera::create(dir, qxsim::CreateOptions(), &err)) {
        error_ = QString::fromStdString("cannot create camera: " + err);
        return;
    }
    camera_ = qxsim::Camera::open(dir, &err);
    if (!camera_) {
        error_ = QString::fromStdString("cannot open camera: " + err);
        return;
    }
    camera_->set_trace(true);
    qputenv("QXSIM_STATE", dir_.path().toLocal8Bit());
    qputenv("LD_PRELOAD", QByteArray(QXSIM_PRELOAD_PATH));
}

SimCamera::~SimCamera()
{
    qunsetenv("LD_PRELOAD");
    qunsetenv("QXSIM_STATE");
}

// Only the proc lines of the trace, accepted (P) or refused (P!);
// register accesses are skipped.
void SimCamera::read_trace()
{
    QFile trace(dir_.filePath(QStringLiteral("trace.log")));
    if (!trace.open(QIODevice::ReadOnly))
        return;
    trace.seek(trace_read_);
    const QByteArray text = trace.readAll();
    // Each trace line is written whole; anything after the last newline is
    // left for the next call.
    const qsizetype end = text.lastIndexOf('\n') + 1;
    for (const QByteArray& raw : text.left(end).split('\n')) {
        qxsim::TraceRecord rec;
        if (!qxsim::parse_trace_line(std::string_view(raw.constData(), static_cast<size_t>(raw.size())), &rec) ||
            rec.kind != qxsim::TRACE_PROC || rec.killed)
            continue;
        const QString line = QString::fromLocal8Bit(rec.text.data(), static_cast<qsizetype>(rec.text.size()));
        (rec.refused ? refused_ : accepted_) << line;
    }
    trace_read_ += end;
}

QStringList SimCamera::take_proc_lines()
{
    read_trace();
    QStringList lines;
    lines.swap(accepted_);
    return lines;
}

QStringList SimCamera::take_refused_lines()
{
    read_trace();
    QStringList lines;
    lines.swap(refused_);
    return lines;
}

quint32 SimCamera::reg(quint32 reg)
{
    return camera_ ? camera_->peek(reg) : 0xDEADBEEF;
}

QString SimCamera::show_channels()
{
    if (!camera_)
        return QString();
    std::ostringstream out;
    qxsim::RegisterBlock* block = camera_->block("channels");
    if (block) {
        qxsim::Camera::Lock lock = camera_->lock();
        block->describe(out);
    }
    return QString::fromStdString(out.str());
}

bool SimCamera::set_fault(const std::string& name)
{
    std::string err;
    return camera_ && camera_->set_fault(name, {}, &err);
}

bool SimCamera::clear_faults()
{
    std::string err;
    return camera_ && camera_->clear_faults("", &err);
}
