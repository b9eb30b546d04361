// The plugin is linked into this test program rather than loaded from a folder.
#define QT_STATICPLUGIN

#include "Assistant/Views/StandInInputContext.h"

#include <qpa/qplatforminputcontextplugin_p.h>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QTimer>
#include <QtPlugin>

namespace korvalen::testing {
namespace {

StandInInputContext* running = nullptr;

void send(QObject* target, const QString& preedit, const QString& commit)
{
    QInputMethodEvent event(preedit, {});
    event.setCommitString(commit);
    if (target) QCoreApplication::sendEvent(target, &event);
}

// Every test of this program runs with the stand-in as the platform's input method, whatever the
// developer's own session uses; the platform reads the choice when the application starts.
const bool chosen = qputenv("QT_IM_MODULE", "korvalen-stand-in");

}  // namespace

StandInInputContext::StandInInputContext()
{
    running = this;
}

StandInInputContext::~StandInInputContext()
{
    running = nullptr;
}

StandInInputContext* StandInInputContext::current()
{
    return running;
}

void StandInInputContext::drive(Module module)
{
    module_ = module;
    composing_.clear();
}

void StandInInputContext::compose(const QString& word)
{
    field_ = QGuiApplication::focusObject();
    composing_ = word;
    send(field_, word, {});
}

void StandInInputContext::commitText(const QString& text)
{
    field_ = QGuiApplication::focusObject();
    composing_.clear();
    send(field_, {}, text);
}

void StandInInputContext::commit()
{
    if (module_ != fcitx) handOver();
}

void StandInInputContext::reset()
{
    if (module_ == fcitx)
        handOver();
    else
        composing_.clear();
}

void StandInInputContext::setFocusObject(QObject* object)
{
    told_ = object;
    if (module_ == fcitx && object != field_) handOver();
}

void StandInInputContext::handOver()
{
    if (composing_.isEmpty()) return;
    send(field_, {}, composing_);
    // The field is the repeat's context: a test that ends first leaves no event for a dead field.
    if (module_ == ibusHangul)
        QTimer::singleShot(0, field_, [target = field_, word = composing_] {
            send(target, {}, {});
            send(target, {}, word);
        });
    composing_.clear();
}

class StandInInputContextPlugin : public QPlatformInputContextPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QPlatformInputContextFactoryInterface_iid FILE "StandInInputContext.json")

public:
    QPlatformInputContext* create(const QString& key, const QStringList&) override
    {
        return key == QLatin1String("korvalen-stand-in") && chosen ? new StandInInputContext : nullptr;
    }
};

}  // namespace korvalen::testing

Q_IMPORT_PLUGIN(StandInInputContextPlugin)

#include "StandInInputContext.moc"
