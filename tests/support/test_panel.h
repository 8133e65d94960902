#pragma once

#include <QDBusAbstractAdaptor>
#include <QImage>
#include <QList>
#include <QStringList>
#include <QVariantMap>

using namespace Qt::StringLiterals;

// One entry of a tray menu as a panel reads it over com.canonical.dbusmenu.
struct MenuNode {
    int id = 0;
    QVariantMap properties;
    QList<MenuNode> children;

    QString label() const;
    bool isSeparator() const;
    bool isEnabled() const;
    bool isChecked() const;
    // The first entry with that label, depth first; nullptr when none.
    const MenuNode *find(const QString &label) const;
    // The labels of the children, "---" for a separator.
    QStringList childLabels() const;
};

// A desktop panel for the tests, on the session bus: it registers as the
// StatusNotifierWatcher with a host, as KDE's panel or GNOME's AppIndicator
// extension does, so Qt exports a tray item over D-Bus. It reads the item and
// its menu, and clicks entries, as a panel does. Serve it by running the
// event loop (waitUntil does).
class TestPanel : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

  public:
    explicit TestPanel(QObject *owner);
    ~TestPanel() override;
    // Takes the watcher's name on the session bus.
    bool start();

    bool isHostRegistered() const
    {
        return true;
    }
    QStringList registeredItems() const
    {
        return items;
    }
    int protocolVersion() const
    {
        return 0;
    }

    // Waits until an item registers; its bus name.
    QString waitForItem(int timeoutMs = 10000);
    QString toolTip() const;
    // The largest of the item's icon pixmaps.
    QImage icon() const;
    // The whole menu, submenus filled in (Qt fills them only when about to show).
    MenuNode menu() const;
    // Sends the "clicked" event a panel sends when the user picks the entry.
    bool click(int id) const;

  public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &service);
    void RegisterStatusNotifierHost(const QString &service);

  Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString &service);
    void StatusNotifierItemUnregistered(const QString &service);
    void StatusNotifierHostRegistered();

  private:
    QVariant itemProperty(const QString &name) const;
    QStringList items;
};
