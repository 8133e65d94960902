#include "test_panel.h"

#include "daemon_process.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>

namespace {

const QString watcherService = u"org.kde.StatusNotifierWatcher"_s;
const QString itemInterface = u"org.kde.StatusNotifierItem"_s;
const QString menuInterface = u"com.canonical.dbusmenu"_s;

MenuNode readNode(const QDBusArgument &arg)
{
    MenuNode node;
    arg.beginStructure();
    arg >> node.id >> node.properties;
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
        node.children.append(readNode(qvariant_cast<QDBusArgument>(child.variant())));
    }
    arg.endArray();
    arg.endStructure();
    return node;
}

QDBusMessage callMenu(const QString &service, const QString &path, const QString &method,
                      const QVariantList &args)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, menuInterface, method);
    call.setArguments(args);
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
}

} // namespace

QString MenuNode::label() const
{
    return properties.value(u"label"_s).toString();
}

bool MenuNode::isSeparator() const
{
    return properties.value(u"type"_s).toString() == u"separator"_s;
}

bool MenuNode::isEnabled() const
{
    return properties.value(u"enabled"_s, true).toBool();
}

bool MenuNode::isChecked() const
{
    return properties.value(u"toggle-state"_s).toInt() == 1;
}

const MenuNode *MenuNode::find(const QString &wanted) const
{
    for (const MenuNode &child : children) {
        if (child.label() == wanted)
            return &child;
        if (const MenuNode *found = child.find(wanted))
            return found;
    }
    return nullptr;
}

QStringList MenuNode::childLabels() const
{
    QStringList labels;
    for (const MenuNode &child : children)
        labels << (child.isSeparator() ? u"---"_s : child.label());
    return labels;
}

TestPanel::TestPanel(QObject *owner)
    : QDBusAbstractAdaptor(owner)
{
}

TestPanel::~TestPanel()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterObject(u"/StatusNotifierWatcher"_s);
    bus.unregisterService(watcherService);
}

bool TestPanel::start()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.registerObject(u"/StatusNotifierWatcher"_s, parent()) &&
           bus.registerService(watcherService);
}

void TestPanel::RegisterStatusNotifierItem(const QString &service)
{
    items.append(service);
    Q_EMIT StatusNotifierItemRegistered(service);
}

void TestPanel::RegisterStatusNotifierHost(const QString &) {}

QString TestPanel::waitForItem(int timeoutMs)
{
    waitUntil([this] { return !items.isEmpty(); }, timeoutMs);
    return items.value(items.size() - 1);
}

QVariant TestPanel::itemProperty(const QString &name) const
{
    QDBusMessage get =
        QDBusMessage::createMethodCall(items.value(items.size() - 1), u"/StatusNotifierItem"_s,
                                       u"org.freedesktop.DBus.Properties"_s, u"Get"_s);
    get.setArguments({itemInterface, name});
    const QDBusMessage reply = QDBusConnection::sessionBus().call(get, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant();
}

QString TestPanel::toolTip() const
{
    // (icon name, icon pixmaps, title, description)
    const QDBusArgument arg = qvariant_cast<QDBusArgument>(itemProperty(u"ToolTip"_s));
    QString iconName, title, description;
    arg.beginStructure();
    arg >> iconName;
    arg.beginArray();
    while (!arg.atEnd()) {
        int w, h;
        QByteArray data;
        arg.beginStructure();
        arg >> w >> h >> data;
        arg.endStructure();
    }
    arg.endArray();
    arg >> title >> description;
    arg.endStructure();
    return title;
}

QImage TestPanel::icon() const
{
    // a(iiay): width, height, ARGB32 in network byte order.
    const QDBusArgument arg = qvariant_cast<QDBusArgument>(itemProperty(u"IconPixmap"_s));
    QImage largest;
    arg.beginArray();
    while (!arg.atEnd()) {
        int w = 0, h = 0;
        QByteArray data;
        arg.beginStructure();
        arg >> w >> h >> data;
        arg.endStructure();
        if (w <= largest.width() || data.size() != qsizetype(w) * h * 4)
            continue;
        QImage image(w, h, QImage::Format_ARGB32);
        for (int i = 0; i < w * h; ++i) {
            const auto *p = reinterpret_cast<const uchar *>(data.constData()) + i * 4;
            reinterpret_cast<QRgb *>(image.bits())[i] = qRgba(p[1], p[2], p[3], p[0]);
        }
        largest = image;
    }
    arg.endArray();
    return largest;
}

MenuNode TestPanel::menu() const
{
    const QString service = items.value(items.size() - 1);
    const QString path = qvariant_cast<QDBusObjectPath>(itemProperty(u"Menu"_s)).path();
    const auto layout = [&] {
        const QDBusMessage reply = callMenu(service, path, u"GetLayout"_s, {0, -1, QStringList()});
        if (reply.arguments().size() < 2)
            return MenuNode{};
        return readNode(qvariant_cast<QDBusArgument>(reply.arguments().at(1)));
    };
    MenuNode root = layout();
    for (const MenuNode &child : root.children)
        if (child.properties.value(u"children-display"_s) == u"submenu"_s)
            callMenu(service, path, u"AboutToShow"_s, {child.id});
    return layout();
}

bool TestPanel::click(int id) const
{
    const QString service = items.value(items.size() - 1);
    const QString path = qvariant_cast<QDBusObjectPath>(itemProperty(u"Menu"_s)).path();
    const QDBusMessage reply =
        callMenu(service, path, u"Event"_s,
                 {id, u"clicked"_s, QVariant::fromValue(QDBusVariant(QString())), 0u});
    return reply.type() == QDBusMessage::ReplyMessage;
}
