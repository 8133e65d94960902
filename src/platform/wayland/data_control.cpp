#include "platform/wayland/data_control.h"
#include "platform/wayland/wayland_connection.h"

#include "data-control-client-protocol.h"

#include <fcntl.h>
#include <unistd.h>
#include <wayland-client.h>

namespace parlotta {

DataControl::DataControl(WaylandConnection &connection)
    : connection(connection)
{
    dataDevice =
        zwlr_data_control_manager_v1_get_data_device(connection.dataControl(), connection.seat());
    static const zwlr_data_control_device_v1_listener deviceListener = {dataOffer, selection,
                                                                        finished, primarySelection};
    zwlr_data_control_device_v1_add_listener(dataDevice, &deviceListener, this);
}

void DataControl::dataOffer(void *data, zwlr_data_control_device_v1 *,
                            zwlr_data_control_offer_v1 *offer)
{
    static const zwlr_data_control_offer_v1_listener offerListener = {offerType};
    static_cast<DataControl *>(data)->offers.insert(offer, {});
    zwlr_data_control_offer_v1_add_listener(offer, &offerListener, data);
}

void DataControl::offerType(void *data, zwlr_data_control_offer_v1 *offer, const char *type)
{
    auto *self = static_cast<DataControl *>(data);
    auto it = self->offers.find(offer);
    if (it != self->offers.end() && !it->contains(type))
        it->append(type);
}

void DataControl::selection(void *data, zwlr_data_control_device_v1 *,
                            zwlr_data_control_offer_v1 *offer)
{
    auto *self = static_cast<DataControl *>(data);
    self->replaceOffer(self->clipboardSlot, offer);
}

void DataControl::primarySelection(void *data, zwlr_data_control_device_v1 *,
                                   zwlr_data_control_offer_v1 *offer)
{
    auto *self = static_cast<DataControl *>(data);
    self->replaceOffer(self->primarySlot, offer);
}

void DataControl::replaceOffer(SelectionSlot &slot, zwlr_data_control_offer_v1 *offer)
{
    if (slot.offer && slot.offer != offer) {
        offers.remove(slot.offer);
        zwlr_data_control_offer_v1_destroy(slot.offer);
    }
    slot.offer = offer;
}

void DataControl::finished(void *data, zwlr_data_control_device_v1 *)
{
    // The seat went away; the device serves nothing more.
    auto *self = static_cast<DataControl *>(data);
    self->clipboardSlot.offer = self->primarySlot.offer = nullptr;
}

bool DataControl::read(bool primary, QList<ClipboardFormat> *formats, QString *error)
{
    formats->clear();
    SelectionSlot &current = slot(primary);
    if (current.source) {
        *formats = current.served;
        return true;
    }
    if (!current.offer)
        return true;
    QElapsedTimer clock;
    clock.start();
    const QList<QByteArray> types = offers.value(current.offer);
    for (const QByteArray &type : types) {
        // X11 owners bridged by XWayland may list X's meta targets.
        if (type == "TARGETS" || type == "MULTIPLE" || type == "TIMESTAMP" ||
            type == "SAVE_TARGETS")
            continue;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            *error = QStringLiteral("could not make a pipe: %1").arg(qt_error_string(errno));
            return false;
        }
        zwlr_data_control_offer_v1_receive(current.offer, type.constData(), fds[1]);
        ::close(fds[1]);
        connection.flush();
        QByteArray bytes;
        bool ended = false;
        while (!ended) {
            const int left = int(saveBudgetMs - clock.elapsed());
            if (left <= 0 || !connection.pump(
                                 left, [] { return false; }, fds[0]))
                break;
            char chunk[65536];
            ssize_t n;
            while ((n = ::read(fds[0], chunk, sizeof chunk)) > 0)
                bytes.append(chunk, n);
            ended = n == 0 || (n < 0 && errno != EAGAIN);
        }
        ::close(fds[0]);
        if (!ended) {
            // What was read so far is kept: better some formats back than none.
            *error = formats->isEmpty() ? QStringLiteral("the clipboard owner did not answer")
                                        : QStringLiteral("the clipboard owner answered too slowly");
            return false;
        }
        formats->append({type, bytes});
    }
    return true;
}

void DataControl::own(bool primary, const QList<ClipboardFormat> &formats, bool isTranscript)
{
    SelectionSlot &current = slot(primary);
    {
        std::lock_guard lock(readMutex);
        current.servingTranscript = isTranscript;
        current.textReads = 0;
    }
    zwlr_data_control_source_v1 *previous = current.source;
    current.source = nullptr;
    current.served = formats;
    if (!formats.isEmpty()) {
        current.source = zwlr_data_control_manager_v1_create_data_source(connection.dataControl());
        static const zwlr_data_control_source_v1_listener sourceListener = {send, cancelled};
        zwlr_data_control_source_v1_add_listener(current.source, &sourceListener, this);
        for (const ClipboardFormat &format : formats)
            zwlr_data_control_source_v1_offer(current.source, format.mimeType.constData());
    }
    if (primary)
        zwlr_data_control_device_v1_set_primary_selection(dataDevice, current.source);
    else
        zwlr_data_control_device_v1_set_selection(dataDevice, current.source);
    if (previous)
        zwlr_data_control_source_v1_destroy(previous);
    connection.flush();
}

void DataControl::send(void *data, zwlr_data_control_source_v1 *source, const char *type,
                       int32_t fd)
{
    auto *self = static_cast<DataControl *>(data);
    for (SelectionSlot *current : {&self->clipboardSlot, &self->primarySlot}) {
        if (current->source != source)
            continue;
        for (const ClipboardFormat &format : current->served) {
            if (format.mimeType != type)
                continue;
            {
                std::lock_guard lock(self->readMutex);
                if (current->servingTranscript) {
                    ++current->textReads;
                    current->lastRead.start();
                }
            }
            self->connection.writeInBackground(fd, format.data, {});
            return;
        }
    }
    ::close(fd);
}

void DataControl::cancelled(void *data, zwlr_data_control_source_v1 *source)
{
    // Another client owns the selection now.
    auto *self = static_cast<DataControl *>(data);
    for (SelectionSlot *current : {&self->clipboardSlot, &self->primarySlot}) {
        if (current->source == source) {
            current->source = nullptr;
            current->served.clear();
        }
    }
    zwlr_data_control_source_v1_destroy(source);
}

bool DataControlClipboard::save(QList<ClipboardFormat> *formats, QString *error)
{
    return connection.call<bool>(
        [&] { return connection.selections()->read(primary, formats, error); });
}

void DataControlClipboard::setText(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    const QList<ClipboardFormat> formats = {
        {"text/plain;charset=utf-8", utf8}, {"text/plain", utf8}, {"UTF8_STRING", utf8},
        {"STRING", text.toLatin1()},        {"TEXT", utf8},
    };
    connection.call<bool>([&] {
        connection.selections()->own(primary, formats, true);
        return true;
    });
}

bool DataControlClipboard::pasteRead()
{
    DataControl &control = *connection.selections();
    std::lock_guard lock(control.readMutex);
    const SelectionSlot &current = control.slot(primary);
    return current.textReads > 0 && current.lastRead.elapsed() >= graceAfterReadMs;
}

void DataControlClipboard::clear()
{
    connection.call<bool>([&] {
        connection.selections()->own(primary, {}, false);
        return true;
    });
}

void DataControlClipboard::restore(const QList<ClipboardFormat> &formats)
{
    connection.call<bool>([&] {
        connection.selections()->own(primary, formats, false);
        return true;
    });
}

} // namespace parlotta
