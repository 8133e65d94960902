#include "platform/wayland/data_control.h"
#include "platform/clipboard_formats.h"
#include "platform/wayland/wayland_connection.h"

#include "data-control-client-protocol.h"

#include <QCoreApplication>
#include <QStringList>
#include <algorithm>
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
        // An offer being read stays alive until the read lets go of it.
        if (slot.offer == readingOffer)
            readingOfferReplaced = true;
        else
            dropOffer(slot.offer);
    }
    slot.offer = offer;
}

void DataControl::dropOffer(zwlr_data_control_offer_v1 *offer)
{
    offers.remove(offer);
    zwlr_data_control_offer_v1_destroy(offer);
}

void DataControl::finished(void *data, zwlr_data_control_device_v1 *)
{
    // The seat went away; the device serves nothing more.
    auto *self = static_cast<DataControl *>(data);
    self->replaceOffer(self->clipboardSlot, nullptr);
    self->replaceOffer(self->primarySlot, nullptr);
}

DataControl::FormatRead DataControl::readFormat(zwlr_data_control_offer_v1 *offer,
                                                const QByteArray &type, qsizetype limit,
                                                const QElapsedTimer &clock, QByteArray *bytes)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return FormatRead::Failed;
    // Only our end waits for nobody: an owner that writes in blocking style
    // must not see EAGAIN at the pipe's size and stop there.
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    zwlr_data_control_offer_v1_receive(offer, type.constData(), fds[1]);
    ::close(fds[1]);
    connection.flush();
    FormatRead result = FormatRead::TooSlow;
    while (result == FormatRead::TooSlow && !readingOfferReplaced) {
        const int left = int(saveBudgetMs - clock.elapsed());
        if (left <= 0 || !connection.pump(
                             left, [] { return false; }, fds[0]))
            break;
        char chunk[65536];
        // Only a read that met the end completes a format: one the budget
        // cut off before any read happened is too slow, never complete.
        while (clock.elapsed() < saveBudgetMs) {
            const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
            if (n > 0 && bytes->size() + n > limit) {
                result = FormatRead::TooLarge;
            } else if (n > 0) {
                bytes->append(chunk, n);
                continue;
            } else if (n == 0) {
                result = FormatRead::Complete;
            } else if (errno != EAGAIN && errno != EINTR) {
                result = FormatRead::Failed;
            }
            break;
        }
    }
    ::close(fds[0]);
    if (result != FormatRead::Complete)
        *bytes = QByteArray();
    bytes->squeeze();
    return result;
}

bool DataControl::read(bool primary, QList<ClipboardFormat> *formats, QString *error)
{
    formats->clear();
    SelectionSlot &current = slot(primary);
    QElapsedTimer clock;
    clock.start();
    // A selection that changes hands while it is read is read again from its
    // new owner: what is saved is always one owner's.
    while (true) {
        if (current.source) {
            *formats = current.served;
            return true;
        }
        if (!current.offer)
            return true;
        readingOffer = current.offer;
        readingOfferReplaced = false;
        const bool whole = readOffer(readingOffer, formats, clock, error);
        zwlr_data_control_offer_v1 *const read = readingOffer;
        readingOffer = nullptr;
        if (!readingOfferReplaced)
            return whole;
        dropOffer(read);
        formats->clear();
        if (clock.elapsed() >= saveBudgetMs) {
            *error = QStringLiteral("the clipboard changed hands while it was read");
            return false;
        }
    }
}

bool DataControl::readOffer(zwlr_data_control_offer_v1 *offer, QList<ClipboardFormat> *formats,
                            const QElapsedTimer &clock, QString *error)
{
    // Text first, so that a slow or huge image cannot cost the small text
    // types; saved in the order the owner offered them.
    QList<QByteArray> types;
    for (const QByteArray &type : offers.value(offer))
        if (!isMetaTarget(type))
            types << type;
    QList<QByteArray> order = types;
    std::stable_partition(order.begin(), order.end(), isTextType);
    QHash<QByteArray, QByteArray> read;
    qsizetype total = 0;
    QStringList skipped;
    bool tooSlow = false;
    for (const QByteArray &type : std::as_const(order)) {
        if (clock.elapsed() >= saveBudgetMs) {
            tooSlow = true;
            break;
        }
        QByteArray bytes;
        const qsizetype limit = std::min(maxSavedFormatBytes, maxSavedBytes - total);
        switch (readFormat(offer, type, limit, clock, &bytes)) {
        case FormatRead::Complete:
            total += bytes.size();
            read.insert(type, bytes);
            break;
        case FormatRead::TooLarge:
            skipped << QString::fromLatin1(type);
            break;
        case FormatRead::TooSlow:
            tooSlow = true;
            break;
        case FormatRead::Failed:
            break;
        }
        if (readingOfferReplaced)
            return false;
    }
    for (const QByteArray &type : std::as_const(types))
        if (read.contains(type))
            formats->append({type, read.value(type)});
    if (tooSlow) {
        // What was read so far is kept: better some formats back than none.
        *error = formats->isEmpty() ? QStringLiteral("the clipboard owner did not answer")
                                    : QStringLiteral("the clipboard owner answered too slowly");
        return false;
    }
    if (!skipped.isEmpty()) {
        *error = QStringLiteral("%1 too large to keep (over %2 MB)")
                     .arg(skipped.join(QStringLiteral(", ")))
                     .arg(maxSavedFormatBytes >> 20);
        return false;
    }
    return true;
}

void DataControl::own(bool primary, const QList<ClipboardFormat> &formats, bool isTranscript)
{
    SelectionSlot &current = slot(primary);
    current.reads.serve(isTranscript);
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
            current->reads.noteRead();
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

void DataControlClipboard::save(SaveDone done)
{
    connection.post([this, done = std::move(done)] {
        QList<ClipboardFormat> formats;
        QString error;
        const bool complete = connection.selections()->read(primary, &formats, &error);
        QMetaObject::invokeMethod(
            qApp, [done, complete, formats, error] { done(complete, formats, error); },
            Qt::QueuedConnection);
    });
}

void DataControlClipboard::setText(const QString &text)
{
    // Waited for: an XTest keystroke from this thread follows, and must find
    // the transcript there. The connection's thread only makes a source here.
    const QList<ClipboardFormat> formats = transcriptFormats(text);
    connection.call<bool>([&] {
        connection.selections()->own(primary, formats, true);
        return true;
    });
}

bool DataControlClipboard::pasteRead()
{
    return connection.selections()->slot(primary).reads.pasteRead();
}

void DataControlClipboard::clear()
{
    restore({});
}

void DataControlClipboard::restore(const QList<ClipboardFormat> &formats)
{
    // In order with what the connection's thread does next (the next save).
    connection.post([this, formats] { connection.selections()->own(primary, formats, false); });
}

} // namespace parlotta
