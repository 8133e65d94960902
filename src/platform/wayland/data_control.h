#pragma once

// The clipboard on compositors with data-control (KWin, wlroots, Hyprland),
// private to this folder. Data-control lets a client read and own the
// clipboard and PRIMARY without keyboard focus, as a clipboard manager does.
#include "platform/clipboard.h"
#include "platform/served_selection.h"

#include <QElapsedTimer>
#include <QHash>
#include <mutex>

struct zwlr_data_control_device_v1;
struct zwlr_data_control_offer_v1;
struct zwlr_data_control_source_v1;

namespace parlotta {

class WaylandConnection;

// One selection, as the device reports it and as we serve it.
struct SelectionSlot {
    // What another client offers now (null while we own it or it is empty).
    zwlr_data_control_offer_v1 *offer = nullptr;
    // Our source while the selection is ours, and what it serves.
    zwlr_data_control_source_v1 *source = nullptr;
    QList<ClipboardFormat> served;
    TranscriptReads reads;
};

// The device and both selections; lives on the connection's thread.
class DataControl {
  public:
    explicit DataControl(WaylandConnection &connection);
    SelectionSlot &slot(bool primary)
    {
        return primary ? primarySlot : clipboardSlot;
    }

    bool read(bool primary, QList<ClipboardFormat> *formats, QString *error);
    void own(bool primary, const QList<ClipboardFormat> &formats, bool isTranscript);

  private:
    static void dataOffer(void *data, zwlr_data_control_device_v1 *,
                          zwlr_data_control_offer_v1 *offer);
    static void selection(void *data, zwlr_data_control_device_v1 *,
                          zwlr_data_control_offer_v1 *offer);
    static void primarySelection(void *data, zwlr_data_control_device_v1 *,
                                 zwlr_data_control_offer_v1 *offer);
    static void finished(void *data, zwlr_data_control_device_v1 *);
    static void offerType(void *data, zwlr_data_control_offer_v1 *offer, const char *type);
    static void send(void *data, zwlr_data_control_source_v1 *source, const char *type, int32_t fd);
    static void cancelled(void *data, zwlr_data_control_source_v1 *source);
    void replaceOffer(SelectionSlot &slot, zwlr_data_control_offer_v1 *offer);
    void dropOffer(zwlr_data_control_offer_v1 *offer);
    enum class FormatRead { Complete, TooLarge, TooSlow, Failed };
    FormatRead readFormat(zwlr_data_control_offer_v1 *offer, const QByteArray &type,
                          qsizetype limit, const QElapsedTimer &clock, QByteArray *bytes);
    bool readOffer(zwlr_data_control_offer_v1 *offer, QList<ClipboardFormat> *formats,
                   const QElapsedTimer &clock, QString *error);

    WaylandConnection &connection;
    zwlr_data_control_device_v1 *dataDevice = nullptr;
    SelectionSlot clipboardSlot, primarySlot;
    QHash<zwlr_data_control_offer_v1 *, QList<QByteArray>> offers;
    // The offer read() holds, and whether the selection moved on meanwhile.
    zwlr_data_control_offer_v1 *readingOffer = nullptr;
    bool readingOfferReplaced = false;
};

// The selection's Clipboard, as the platform hands it out.
class DataControlClipboard final : public Clipboard {
  public:
    DataControlClipboard(WaylandConnection &connection, bool primary)
        : connection(connection)
        , primary(primary)
    {
    }
    void save(SaveDone done) override;
    void setText(const QString &text) override;
    bool pasteRead() override;
    void clear() override;
    void restore(const QList<ClipboardFormat> &formats) override;

  private:
    WaylandConnection &connection;
    const bool primary;
};

} // namespace parlotta
