#include "sessioncontroller.h"
#include "sessionfakes.h"
#include "brand.h"
#include "buttons.h"
#include "hudcapsule.h"
#include "hudpanel.h"
#include "hudparts.h"
#include "servermessages.h"
#include "widgetfinders.h"
#include "wrappedtext.h"
#include "livehud.h"
#include "livehudview.h"
#include "meetingpopupview.h"
#include "lucide.h"
#include "recordingdot.h"
#include "transcriptmodel.h"
#include "transcriptview.h"

#include <QAbstractEventDispatcher>
#include <QAbstractItemModelTester>
#include <QLabel>
#include <QPainter>
#include <QRandomGenerator>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

namespace {

// Keeps the area of each paint a widget receives.
struct PaintedAreas : QObject
{
    QList<QRect> areas;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            areas.append(static_cast<QPaintEvent *>(event)->rect());
        return false;
    }
};

TranscriptLine line(const QString &text, bool translation, bool complete = true, qint64 t = 0)
{
    return TranscriptLine{.id = QUuid::createUuid(),
                          .text = text,
                          .isTranslation = translation,
                          .lang = std::nullopt,
                          .t = QDateTime::fromMSecsSinceEpoch(1700000000000 + t, Qt::UTC),
                          .complete = complete};
}

using Bubbles = QList<QStringList>; // base, tail, "t" for a translation

Bubbles bubblesOf(const TranscriptModel &model)
{
    Bubbles result;
    for (int row = 0; row < model.rowCount(); ++row) {
        const TranscriptModel::Bubble b = model.bubble(row);
        result.append({b.base, b.tail, b.isTranslation ? QStringLiteral("t") : QString()});
    }
    return result;
}

} // namespace

Q_DECLARE_METATYPE(QList<TranscriptLine>)

class TestHUDPanel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void statusRowAndControlsFollowTheSession_data();
    void statusRowAndControlsFollowTheSession();
    void placeholderSaysWhatComes_data();
    void placeholderSaysWhatComes();
    void fullTranscriptFromFullHeight_data();
    void fullTranscriptFromFullHeight();
    void compactFormShowsTheNewestText_data();
    void compactFormShowsTheNewestText();
    void bubblesCarryPartialText_data();
    void bubblesCarryPartialText();
    void streamingGrowsRowsWithoutRebuilding();
    void aLabelNamesTheSpeakerWhereTheyChange();
    void everyChangeScrollsToTheEnd();
    void collapseButtonCollapses();
    void resizeHandlesShowTheirUse();
    void floatingControlsSayWhatTheyDo_data();
    void floatingControlsSayWhatTheyDo();
    void surfacesHideWhatIsBehind_data();
    void surfacesHideWhatIsBehind();
    void capsuleGlyphFollowsTheSession_data();
    void capsuleGlyphFollowsTheSession();

private:
    void showPanel(qreal height);
    void checkRowHeights();

    std::unique_ptr<SessionController> m_state;
    std::unique_ptr<LiveHUD> m_hud;
    std::unique_ptr<HUDPanel> m_panel;
};

void TestHUDPanel::init()
{
    m_state = std::make_unique<SessionController>();
    m_hud = std::make_unique<LiveHUD>();
    m_hud->setAnimationDuration(0);
    m_panel = std::make_unique<HUDPanel>(m_hud.get());
    m_panel->setState(m_state.get());
}

void TestHUDPanel::cleanup()
{
    m_panel.reset();
    m_hud.reset();
    m_state.reset();
}

void TestHUDPanel::showPanel(qreal height)
{
    m_panel->resize(380, int(height));
    m_panel->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_panel.get()));
}

void TestHUDPanel::statusRowAndControlsFollowTheSession_data()
{
    QTest::addColumn<SessionController::Phase>("phase");
    QTest::addColumn<SaveState>("save");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("glyph"); // "dot", "grey", "pause" or ""
    QTest::addColumn<bool>("errorShown");
    QTest::addColumn<QString>("controls"); // round button, then the pill

    using Phase = SessionController::Phase;
    const QString noError;
    const QString problem = QStringLiteral("The microphone didn't respond.");
    QTest::newRow("listening") << Phase::Listening << SaveState::idle() << noError << "Listening · 12:34" << "dot"
                               << false << "pause|Stop & save";
    QTest::newRow("listening hides an error") << Phase::Listening << SaveState::idle() << problem
                                              << "Listening · 12:34" << "dot" << false << "pause|Stop & save";
    QTest::newRow("paused") << Phase::Paused << SaveState::idle() << noError << "Paused · 12:34" << "pause" << false
                            << "resume|Save notes";
    QTest::newRow("paused shows the error") << Phase::Paused << SaveState::idle() << problem << "Paused · 12:34"
                                            << "pause" << true << "resume|Save notes";
    QTest::newRow("paused after a failed save") << Phase::Paused << SaveState::failed(problem) << noError
                                                << "Paused · 12:34" << "pause" << false << "resume|Save notes";
    // Nothing to start while the notes are on their way.
    QTest::newRow("saving") << Phase::Uploading << SaveState::idle() << noError << "Saving notes…" << "" << false
                            << "|";
    QTest::newRow("saved") << Phase::Idle << SaveState::saved() << noError << "✓ Notes saved" << "" << false
                           << "|See notes";
    QTest::newRow("save failed") << Phase::Idle << SaveState::failed(problem) << noError << "Not listening"
                                 << "grey" << false << "|Save again";
    QTest::newRow("idle with an error") << Phase::Idle << SaveState::idle() << problem << "Not listening"
                                        << "grey" << true << "|Take notes";
    // Information, not failures: in the secondary colour.
    QTest::newRow("paused after recovery") << Phase::Paused << SaveState::idle() << SessionController::recoveredText
                                           << "Paused · 12:34" << "pause" << true << "resume|Save notes";
    QTest::newRow("nothing to save") << Phase::Idle << SaveState::idle() << SessionController::nothingToSaveText
                                     << "Not listening" << "grey" << true << "|Take notes";
}

void TestHUDPanel::statusRowAndControlsFollowTheSession()
{
    QFETCH(SessionController::Phase, phase);
    QFETCH(SaveState, save);
    QFETCH(QString, error);
    QFETCH(QString, status);
    QFETCH(QString, glyph);
    QFETCH(bool, errorShown);
    QFETCH(QString, controls);

    showPanel(340);
    SessionController::Preview p;
    p.phase = phase;
    p.saveState = save;
    p.elapsed = QStringLiteral("12:34");
    if (!error.isEmpty())
        p.lastError = error;
    m_state->showPreview(p);

    const QWidget *panel = m_panel.get();
    QCOMPARE(panel->findChild<QLabel *>(QStringLiteral("statusText"))->text(), status);
    auto *dot = panel->findChild<RecordingDot *>(QStringLiteral("statusDot"));
    auto *pause = panel->findChild<LucideIcon *>(QStringLiteral("statusPause"));
    QCOMPARE(shownIn(dot, panel), glyph == QLatin1String("dot") || glyph == QLatin1String("grey"));
    QCOMPARE(shownIn(pause, panel), glyph == QLatin1String("pause"));
    if (glyph == QLatin1String("dot")) {
        QCOMPARE(dot->color(), Brand::tomato());
        QVERIFY(dot->breathing());
        // The dot breathes by the wall clock; each second of running time
        // lays nothing out again.
        QVERIFY(dot->isAnimating());
        for (int settle = 0; settle < 3; ++settle)
            QCoreApplication::sendPostedEvents();
        EventCount requests(QEvent::LayoutRequest);
        m_panel->installEventFilter(&requests);
        p.elapsed = QStringLiteral("12:35");
        m_state->showPreview(p);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(requests.count, 0);
        QCOMPARE(panel->findChild<QLabel *>(QStringLiteral("statusText"))->text(),
                 QString(status).replace(QStringLiteral("12:34"), QStringLiteral("12:35")));
        m_panel->removeEventFilter(&requests);
        // Out of sight it keeps no time; it shows the right one when it comes back.
        m_panel->hide();
        p.elapsed = QStringLiteral("12:36");
        m_state->showPreview(p);
        m_panel->show();
        QCOMPARE(panel->findChild<QLabel *>(QStringLiteral("statusText"))->text(), status.replace(QStringLiteral("12:34"), QStringLiteral("12:36")));
    } else if (glyph == QLatin1String("grey")) {
        QCOMPARE(dot->color(), Brand::inkFaint());
        QVERIFY(!dot->breathing());
    } else if (glyph == QLatin1String("pause")) {
        QCOMPARE(pause->color(), Brand::marigold());
    }

    auto *errorLine = panel->findChild<QLabel *>(QStringLiteral("errorLine"));
    QCOMPARE(shownIn(errorLine, panel), errorShown);
    if (errorShown) {
        QCOMPARE(errorLine->text(), error);
        const bool notice = error == SessionController::recoveredText || error == SessionController::nothingToSaveText;
        QCOMPARE(errorLine->palette().color(QPalette::WindowText), notice ? Brand::inkSoft() : Brand::tomato());
    }

    QString seen;
    if (shownIn(panel->findChild<QWidget *>(QStringLiteral("pauseButton")), panel))
        seen += QStringLiteral("pause");
    if (shownIn(panel->findChild<QWidget *>(QStringLiteral("resumeButton")), panel))
        seen += QStringLiteral("resume");
    seen += u'|';
    auto *primary = panel->findChild<TealPillButton *>(QStringLiteral("primaryButton"));
    auto *outline = panel->findChild<OutlinePillButton *>(QStringLiteral("outlineButton"));
    QVERIFY(!(shownIn(primary, panel) && shownIn(outline, panel)));
    if (shownIn(primary, panel))
        seen += primary->text();
    if (shownIn(outline, panel))
        seen += outline->text();
    QCOMPARE(seen, controls);
}

void TestHUDPanel::placeholderSaysWhatComes_data()
{
    QTest::addColumn<qreal>("height");
    QTest::addColumn<bool>("listening");
    QTest::addColumn<SaveState>("save");
    QTest::addColumn<QString>("text");

    for (const qreal height : {148.0, 340.0}) {
        const QByteArray form = height < 230 ? "compact " : "full ";
        QTest::newRow(form + "listening") << height << true << SaveState::idle() << HUDPanel::listeningPlaceholder;
        QTest::newRow(form + "saved") << height << false << SaveState::saved() << HUDPanel::savedPlaceholder;
        QTest::newRow(form + "idle") << height << false << SaveState::idle() << HUDPanel::idlePlaceholder;
        QTest::newRow(form + "failed") << height << false << SaveState::failed(QStringLiteral("x"))
                                       << HUDPanel::idlePlaceholder;
    }
}

void TestHUDPanel::placeholderSaysWhatComes()
{
    QFETCH(qreal, height);
    QFETCH(bool, listening);
    QFETCH(SaveState, save);
    QFETCH(QString, text);

    showPanel(height);
    SessionController::Preview p;
    p.phase = previewPhase(listening, false);
    p.saveState = save;
    m_state->showPreview(p);
    const QString name = height < 230 ? QStringLiteral("compactPlaceholder") : QStringLiteral("fullPlaceholder");
    auto *placeholder = m_panel->findChild<QLabel *>(name);
    QVERIFY(shownIn(placeholder, m_panel.get()));
    QCOMPARE(placeholder->text(), text);
    QCOMPARE(placeholder->palette().color(QPalette::WindowText), Brand::inkFaint());

    // Any text replaces the placeholder.
    p.partial = QStringLiteral("hello");
    m_state->showPreview(p);
    QVERIFY(!shownIn(placeholder, m_panel.get()));
}

void TestHUDPanel::fullTranscriptFromFullHeight_data()
{
    QTest::addColumn<qreal>("height");
    QTest::addColumn<bool>("full");

    QTest::newRow("smallest") << 148.0 << false;
    QTest::newRow("229") << 229.0 << false;
    QTest::newRow("230") << 230.0 << true;
    QTest::newRow("default") << 340.0 << true;
}

void TestHUDPanel::fullTranscriptFromFullHeight()
{
    QFETCH(qreal, height);
    QFETCH(bool, full);

    SessionController::Preview p;
    p.phase = SessionController::Phase::Listening;
    p.lines = {line(QStringLiteral("Hello there."), false)};
    m_state->showPreview(p);
    // Live across the boundary, both ways.
    showPanel(full ? 200 : 300);
    QCOMPARE(m_panel->showsFullTranscript(), !full);
    m_panel->resize(380, int(height));
    QCOMPARE(m_panel->showsFullTranscript(), full);
    QCOMPARE(shownIn(m_panel->transcriptView(), m_panel.get()), full);
    QCOMPARE(shownIn(m_panel->findChild<QWidget *>(QStringLiteral("latestSource")), m_panel.get()), !full);
}

void TestHUDPanel::compactFormShowsTheNewestText_data()
{
    QTest::addColumn<QList<TranscriptLine>>("lines");
    QTest::addColumn<QString>("partial");
    QTest::addColumn<QString>("shownPartial");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("translation");

    const QString none;
    QTest::newRow("partial alone, lines aside")
        << QList<TranscriptLine>{line(QStringLiteral("Done."), false)} << QStringLiteral(" and then") << " and then"
        << none << none;
    QTest::newRow("newest source trimmed, its translation")
        << QList<TranscriptLine>{line(QStringLiteral("Old."), false, true, 0), line(QStringLiteral("Viejo."), true, true, 1),
                                 line(QStringLiteral(" \tNew one. "), false, true, 2),
                                 line(QStringLiteral(" Nuevo. "), true, true, 3)}
        << QString() << none << "New one." << "Nuevo.";
    QTest::newRow("translation older than its source is not shown")
        << QList<TranscriptLine>{line(QStringLiteral("Viejo."), true, true, 0), line(QStringLiteral("New."), false, true, 5)}
        << QString() << none << "New." << none;
    QTest::newRow("translation at the same time is shown")
        << QList<TranscriptLine>{line(QStringLiteral("New."), false, true, 5), line(QStringLiteral("Nuevo."), true, true, 5)}
        << QString() << none << "New." << "Nuevo.";
    QTest::newRow("translations only: placeholder")
        << QList<TranscriptLine>{line(QStringLiteral("Hola."), true)} << QString() << none << none << none;
}

void TestHUDPanel::compactFormShowsTheNewestText()
{
    QFETCH(QList<TranscriptLine>, lines);
    QFETCH(QString, partial);
    QFETCH(QString, shownPartial);
    QFETCH(QString, source);
    QFETCH(QString, translation);

    showPanel(148);
    SessionController::Preview p;
    p.phase = SessionController::Phase::Listening;
    p.lines = lines;
    p.partial = partial;
    m_state->showPreview(p);
    const QWidget *panel = m_panel.get();
    auto check = [&](const char *name, const QString &expected) {
        auto *text = panel->findChild<WrappedText *>(QLatin1String(name));
        QCOMPARE(shownIn(text, panel), !expected.isEmpty());
        if (!expected.isEmpty())
            QCOMPARE(text->text(), expected);
    };
    check("latestPartial", shownPartial);
    check("latestSource", source);
    check("latestTranslation", translation);
    const bool placeholder = shownPartial.isEmpty() && source.isEmpty();
    QCOMPARE(shownIn(panel->findChild<QLabel *>(QStringLiteral("compactPlaceholder")), panel), placeholder);
}

void TestHUDPanel::bubblesCarryPartialText_data()
{
    QTest::addColumn<QList<TranscriptLine>>("lines");
    QTest::addColumn<QString>("partial");
    QTest::addColumn<Bubbles>("bubbles");

    const QString t = QStringLiteral("t");
    QTest::newRow("partial after complete lines gets its own bubble, trimmed")
        << QList<TranscriptLine>{line(QStringLiteral("Hello."), false), line(QStringLiteral("Hola."), true)}
        << QStringLiteral(" and more")
        << Bubbles{{"Hello.", "", ""}, {"Hola.", "", t}, {"", "and more", ""}};
    QTest::newRow("partial continues an open last line, space kept")
        << QList<TranscriptLine>{line(QStringLiteral("Done."), false), line(QStringLiteral("And as I said,"), false, false)}
        << QStringLiteral(" I've had")
        << Bubbles{{"Done.", "", ""}, {"And as I said,", " I've had", ""}};
    QTest::newRow("only partial") << QList<TranscriptLine>{} << QStringLiteral("  hi ")
                                  << Bubbles{{"", "hi", ""}};
    QTest::newRow("nothing") << QList<TranscriptLine>{} << QString() << Bubbles{};
    QTest::newRow("open line without partial")
        << QList<TranscriptLine>{line(QStringLiteral("  open "), false, false)} << QString()
        << Bubbles{{"open", "", ""}};
    QTest::newRow("blank open line: partial trimmed")
        << QList<TranscriptLine>{line(QStringLiteral("  "), false, false)} << QStringLiteral(" go")
        << Bubbles{{"", "go", ""}};
}

void TestHUDPanel::bubblesCarryPartialText()
{
    QFETCH(QList<TranscriptLine>, lines);
    QFETCH(QString, partial);
    QFETCH(Bubbles, bubbles);

    SessionController::Preview p;
    p.phase = SessionController::Phase::Listening;
    p.lines = lines;
    p.partial = partial;
    m_state->showPreview(p);
    QCOMPARE(bubblesOf(*m_panel->transcriptModel()), bubbles);
}

void TestHUDPanel::aLabelNamesTheSpeakerWhereTheyChange()
{
    showPanel(400);
    const auto voiced = [](const QString &text, Side side, std::optional<QString> speaker, bool translation = false) {
        TranscriptLine l = line(text, translation);
        l.source = side;
        l.speaker = std::move(speaker);
        return l;
    };
    SessionController::Preview p;
    p.phase = SessionController::Phase::Listening;
    p.lines = {voiced("Shall we start?", Side::Mic, std::nullopt), voiced("Shall we start?", Side::System, "2"),
               voiced("¿Empezamos?", Side::System, "2", true), voiced("Yes, the budget.", Side::System, "2"),
               voiced("Shall we start?", Side::System, std::nullopt), voiced("Good.", Side::Mic, std::nullopt)};
    m_state->showPreview(p);
    TranscriptModel *model = m_panel->transcriptModel();
    QStringList labels;
    for (int row = 0; row < model->rowCount(); ++row)
        labels.append(model->index(row).data(TranscriptModel::SpeakerRole).toString());
    QCOMPARE(labels, (QStringList{"", "Speaker 2", "", "", "Others", "You"}));
    // The label takes a line of its own above the text, and the rows still stack.
    TranscriptView *view = m_panel->transcriptView();
    QTRY_VERIFY(view->visualRect(model->index(1)).height() > view->visualRect(model->index(0)).height());
    QCOMPARE(view->visualRect(model->index(4)).height(), view->visualRect(model->index(1)).height());
    checkRowHeights();
}

void TestHUDPanel::streamingGrowsRowsWithoutRebuilding()
{
    showPanel(340);
    TranscriptModel *model = m_panel->transcriptModel();
    QAbstractItemModelTester tester(model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy resets(model, &QAbstractItemModel::modelReset);
    QSignalSpy inserts(model, &QAbstractItemModel::rowsInserted);
    TranscriptView *view = m_panel->transcriptView();
    view->setPlacementInterval(0); // every message is drawn and checked before the next

    // A word more at the end of a long bubble redraws its last line only.
    TranscriptUpdate opening;
    opening.pieces = QList<SpokenPiece>{token(QStringLiteral(" and then").repeated(20), true, false)};
    m_state->transcript()->apply(opening);
    QTRY_VERIFY(!view->framePending() && !view->isFollowing());
    QCoreApplication::sendPostedEvents();
    const QRect bubble = view->visualRect(model->index(0));
    QVERIFY(bubble.height() > 80);
    PaintedAreas painted;
    view->viewport()->installEventFilter(&painted);
    TranscriptUpdate more;
    more.pieces = QList<SpokenPiece>{token(QStringLiteral(" so"), false, false)};
    m_state->transcript()->apply(more);
    // Drawn where the loop turns, leaving no timer of the view's behind (the
    // base class arms one every frame, to fetch rows this model never lacks).
    Q_EMIT QAbstractEventDispatcher::instance()->awake();
    QVERIFY(!view->framePending());
    QVERIFY(QAbstractEventDispatcher::instance()->registeredTimers(view).isEmpty());
    QCoreApplication::sendPostedEvents();
    view->viewport()->removeEventFilter(&painted);
    QCOMPARE(view->visualRect(model->index(0)), bubble);
    QCOMPARE(painted.areas.size(), 1);
    // Its last word only: the line before cannot take a word it did not fit,
    // the words ahead of it and the card's padding below stay as they were,
    // and below the bubble nothing moved.
    const QRect area = painted.areas.first();
    QVERIFY(area.top() > bubble.bottom() - 2 * QFontMetricsF(Brand::font(14)).height());
    QVERIFY(area.left() > bubble.left() + BubbleDelegate::paddingH);
    QVERIFY(area.bottom() < bubble.bottom() && area.bottom() > bubble.bottom() - BubbleDelegate::paddingV);

    // A provisional word that had to wrap, replaced by a short one: the line
    // before takes it, and is drawn again.
    const auto say = [&](const QString &provisional) {
        TranscriptUpdate message;
        message.pieces = QList<SpokenPiece>{token(provisional, false, false)};
        m_state->transcript()->apply(message);
        if (!QTest::qWaitFor([&] { return !view->framePending() && !view->isFollowing(); }))
            return -1;
        QCoreApplication::sendPostedEvents();
        return view->visualRect(model->index(0)).height();
    };
    bool wrapped = false;
    for (int n = 2; n < 60 && !wrapped; ++n)
        wrapped = say(u' ' + QString(u'm').repeated(n)) > bubble.height();
    QVERIFY(wrapped);
    QCOMPARE(say(QStringLiteral(" i")), bubble.height());
    const QImage drawn = m_panel->screen()->grabWindow(m_panel->winId()).toImage();
    m_panel->repaint();
    QCOMPARE(drawn, m_panel->screen()->grabWindow(m_panel->winId()).toImage());

    // A new bubble of numbers alone, then a word written right to left: the
    // bubble turns around to read from the right, and is drawn so.
    TranscriptUpdate done;
    done.pieces = QList<SpokenPiece>{token(QStringLiteral(" done."), true, false)};
    m_state->transcript()->apply(done);
    say(QStringLiteral(" 2026,"));
    say(QStringLiteral(" 2026, مرحبا"));
    const QImage turned = m_panel->screen()->grabWindow(m_panel->winId()).toImage();
    m_panel->repaint();
    QCOMPARE(turned, m_panel->screen()->grabWindow(m_panel->winId()).toImage());

    // A random stream: finals that grow, close and open lines in both kinds,
    // provisional text that comes and goes; bubbles that begin with a word
    // written right to left read from the right.
    QRandomGenerator random(7);
    const QStringList words{QStringLiteral(" we"), QStringLiteral(" meet"), QStringLiteral(" Friday."),
                            QStringLiteral(" okay?"), QStringLiteral(" budget"), QStringLiteral(" مرحبا")};
    for (int i = 0; i < 400; ++i) {
        TranscriptUpdate message;
        message.pieces = QList<SpokenPiece>{};
        const bool translation = random.bounded(3) == 0;
        for (int n = random.bounded(4); n > 0; --n)
            message.pieces.append(token(words.at(random.bounded(words.size())), true, translation));
        // Provisional text long enough to wrap, so that where it is drawn
        // changes the height of a bubble.
        for (int n = random.bounded(3) * 12; n > 0; --n)
            message.pieces.append(token(words.at(random.bounded(words.size())), false, false));
        if (message.pieces.isEmpty())
            message.pieces.append(token(QStringLiteral(" um"), false, false));
        m_state->transcript()->apply(message);

        // The incrementally kept rows equal rows built afresh from the state.
        TranscriptModel fresh;
        fresh.setTranscript(m_state->transcript());
        QCOMPARE(bubblesOf(*model), bubblesOf(fresh));
        checkRowHeights();
        // Laid out piece by piece as the words came, the newest bubbles
        // read exactly as when laid out afresh.
        BubbleDelegate afresh;
        for (int row = std::max(0, model->rowCount() - 2); row < model->rowCount(); ++row) {
            QStyleOptionViewItem option;
            option.rect = QRect(QPoint(0, 0), view->visualRect(model->index(row)).size());
            QCOMPARE(afresh.sizeHint(option, model->index(row)).height(), option.rect.height());
            const auto drawn = [&](const QAbstractItemDelegate &delegate) {
                QImage image(option.rect.size(), QImage::Format_ARGB32_Premultiplied);
                image.fill(Qt::transparent);
                QPainter painter(&image);
                delegate.paint(&painter, option, model->index(row));
                return image;
            };
            QCOMPARE(drawn(*view->itemDelegate()), drawn(afresh));
        }
        // Each frame draws only what changed, and the panel reads as if
        // drawn whole.
        QTRY_VERIFY(!view->framePending() && !view->isFollowing());
        QCoreApplication::sendPostedEvents();
        const QImage onScreen = m_panel->screen()->grabWindow(m_panel->winId()).toImage();
        m_panel->repaint();
        QCOMPARE(onScreen, m_panel->screen()->grabWindow(m_panel->winId()).toImage());
        if (QTest::currentTestFailed())
            return;
    }
    QCOMPARE(resets.count(), 0);
    QVERIFY(inserts.count() >= m_state->transcript()->lines().size());
    checkRowHeights();
}

void TestHUDPanel::checkRowHeights()
{
    // Every row kept the height of the text it shows now, and the rows stack
    // without gaps or overlaps.
    TranscriptModel *model = m_panel->transcriptModel();
    TranscriptView *view = m_panel->transcriptView();
    int total = 0;
    int previousBottom = -1;
    for (int row = 0; row < model->rowCount(); ++row) {
        const QRect rect = view->visualRect(model->index(row));
        QStyleOptionViewItem option;
        option.rect = QRect(0, 0, rect.width(), 0);
        QCOMPARE(rect.height(), view->itemDelegate()->sizeHint(option, model->index(row)).height());
        if (previousBottom >= 0)
            QCOMPARE(rect.top(), previousBottom + 1 + TranscriptView::spacing);
        previousBottom = rect.bottom();
        total += rect.height();
    }
    if (model->rowCount() > 0)
        QCOMPARE(view->contentHeight(), total + (model->rowCount() - 1) * TranscriptView::spacing + 2 * 6);
}

void TestHUDPanel::everyChangeScrollsToTheEnd()
{
    showPanel(340);
    SessionController::Preview p;
    p.phase = SessionController::Phase::Listening;
    for (int i = 0; i < 30; ++i)
        p.lines.append(line(QStringLiteral("Sentence number %1 of a long meeting.").arg(i), false));
    m_state->showPreview(p);
    QScrollBar *bar = m_panel->transcriptView()->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    QTRY_COMPARE(bar->value(), bar->maximum());

    // Scrolled away, then text arrives: back to the end.
    bar->setValue(0);
    TranscriptUpdate message;
    message.pieces = QList<SpokenPiece>{token(QStringLiteral(" and then"), false, false)};
    m_state->transcript()->apply(message);
    QTRY_COMPARE(bar->value(), bar->maximum());
    TranscriptView *view = m_panel->transcriptView();
    TranscriptModel *model = m_panel->transcriptModel();
    auto lastInView = [&] {
        const QRect rect = view->visualRect(model->index(model->rowCount() - 1));
        return rect.bottom() < view->viewport()->height() && rect.top() >= 0;
    };
    QVERIFY(lastInView());

    // A burst waits for one frame, which ends with its last words in view.
    QTRY_VERIFY(!view->framePending() && !view->isFollowing());
    for (int i = 0; i < 20; ++i) {
        TranscriptUpdate burst;
        burst.pieces = QList<SpokenPiece>{token(QStringLiteral(" word%1").arg(i), true, false)};
        m_state->transcript()->apply(burst);
    }
    QVERIFY(view->framePending());
    QTRY_VERIFY(!view->framePending() && !view->isFollowing());
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(model->bubble(model->rowCount() - 1).base.endsWith(QStringLiteral("word19")));
    QVERIFY(lastInView());
    // A line more moves the list in the frame that draws it, without a glide;
    // another one a moment later glides, so the list moves at most once a frame.
    for (bool glides : {false, true}) {
        view->setPlacementInterval(glides ? 60'000 : 0);
        TranscriptUpdate more;
        more.pieces = QList<SpokenPiece>{token(QStringLiteral(" and a few more words, enough to wrap"), true, false)};
        m_state->transcript()->apply(more);
        QTRY_VERIFY(!view->framePending());
        QCOMPARE(view->isFollowing(), glides);
        QTRY_COMPARE(bar->value(), bar->maximum());
        QTRY_VERIFY(!view->isFollowing());
        QVERIFY(lastInView());
    }

    // Hidden, nothing is scheduled or animated; shown again, the end is in view.
    m_panel->hide();
    TranscriptUpdate unseen;
    unseen.pieces = QList<SpokenPiece>{token(QStringLiteral(" said while hidden, long enough to wrap the bubble once more."),
                                             true, false)};
    m_state->transcript()->apply(unseen);
    QVERIFY(!view->framePending());
    QVERIFY(!view->isFollowing());
    m_panel->show();
    QTRY_COMPARE(bar->value(), bar->maximum());
    QVERIFY(lastInView());

    // The bubble the top edge cuts is not drawn: nothing lies against the header.
    QWidget *viewport = view->viewport();
    // Scrolled so that a bubble crosses the top edge by a few pixels.
    const QRect second = view->visualRect(model->index(1));
    bar->setValue(bar->value() + second.top() + 5);
    QCOMPARE(view->visualRect(model->index(1)).top(), -5);
    QImage drawn(viewport->size(), QImage::Format_ARGB32_Premultiplied);
    drawn.fill(Qt::transparent);
    viewport->render(&drawn, {}, {}, QWidget::DrawChildren);
    int touched = 0;
    for (int x = 0; x < drawn.width(); ++x)
        touched += qAlpha(drawn.pixel(x, 0)) > 0;
    QCOMPARE(touched, 0);

    // A bubble taller than the list is drawn even when cut, or it would never show.
    TranscriptUpdate runOn;
    runOn.pieces = QList<SpokenPiece>{token(QStringLiteral(" and then").repeated(80), true, false)};
    m_state->transcript()->apply(runOn);
    const QModelIndex last = model->index(model->rowCount() - 1);
    // Followed to its end, the bubble's top is cut.
    QTRY_VERIFY(!view->framePending() && !view->isFollowing() && view->visualRect(last).top() < -20);
    QVERIFY(view->visualRect(last).height() > viewport->height());
    bar->setValue(bar->value() + view->visualRect(last).top() + 20);
    QCOMPARE(view->visualRect(last).top(), -20);
    drawn = QImage(viewport->size(), QImage::Format_ARGB32_Premultiplied);
    drawn.fill(Qt::transparent);
    viewport->render(&drawn, {}, {}, QWidget::DrawChildren);
    touched = 0;
    for (int x = 0; x < drawn.width(); ++x)
        touched += qAlpha(drawn.pixel(x, drawn.height() / 2)) > 0;
    QVERIFY(touched > 0);
}

void TestHUDPanel::collapseButtonCollapses()
{
    showPanel(340);
    m_hud->setExpandedForRendering(true);
    auto *collapse = m_panel->findChild<QAbstractButton *>(QStringLiteral("collapseButton"));
    QCOMPARE(collapse->toolTip(), QStringLiteral("Collapse"));
    QCOMPARE(collapse->size(), QSize(26, 26));
    QTest::mouseClick(collapse, Qt::LeftButton, {}, QPoint(2, 2)); // the whole square takes clicks
    QVERIFY(!m_hud->expanded());
}

void TestHUDPanel::resizeHandlesShowTheirUse()
{
    showPanel(340);
    const QList<ResizeHandle *> handles = m_panel->findChildren<ResizeHandle *>();
    QCOMPARE(handles.size(), 5);
    for (const ResizeHandle *handle : handles) {
        QVERIFY(handle->isVisible());
        QVERIFY(m_panel->rect().contains(handle->geometry()));
        switch (handle->corner()) {
        case HUDGeometry::Corner::Left:
            QCOMPARE(handle->cursor().shape(), Qt::SizeHorCursor);
            QCOMPARE(handle->geometry(), QRect(0, 22, 7, 340 - 44));
            break;
        case HUDGeometry::Corner::Right:
            QCOMPARE(handle->cursor().shape(), Qt::SizeHorCursor);
            QCOMPARE(handle->geometry(), QRect(373, 22, 7, 340 - 44));
            break;
        case HUDGeometry::Corner::Bottom:
            QCOMPARE(handle->cursor().shape(), Qt::SizeVerCursor);
            QCOMPARE(handle->geometry(), QRect(22, 333, 380 - 44, 7));
            break;
        case HUDGeometry::Corner::BottomLeft:
        case HUDGeometry::Corner::BottomRight:
            QCOMPARE(handle->toolTip(), ResizeHandle::gripToolTip);
            QCOMPARE(handle->size(), QSize(26, 26));
            break;
        }
    }
}

void TestHUDPanel::floatingControlsSayWhatTheyDo_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("control"); // object name, or a resize corner
    QTest::addColumn<bool>("tabbable");   // the prompt never takes the keyboard
    QTest::newRow("collapse") << "panel" << "collapseButton" << true;
    QTest::newRow("pause") << "panel" << "pauseButton" << true;
    QTest::newRow("resume") << "panel" << "resumeButton" << true;
    QTest::newRow("left edge") << "panel" << "Left" << false;
    QTest::newRow("right edge") << "panel" << "Right" << false;
    QTest::newRow("bottom edge") << "panel" << "Bottom" << false;
    QTest::newRow("bottom-left grip") << "panel" << "BottomLeft" << false;
    QTest::newRow("bottom-right grip") << "panel" << "BottomRight" << false;
    QTest::newRow("capsule") << "capsule" << "capsule" << true;
    QTest::newRow("prompt's dismiss") << "prompt" << "dismiss" << false;
}

void TestHUDPanel::floatingControlsSayWhatTheyDo()
{
    QFETCH(QString, where);
    QFETCH(QString, control);
    QFETCH(bool, tabbable);

    HUDCapsule capsule(m_hud.get());
    capsule.setState(m_state.get());
    MeetingPopupView prompt(QStringLiteral("Zoom"), {}, {});
    QWidget *found = nullptr;
    if (where == QLatin1String("capsule")) {
        found = &capsule;
    } else if (where == QLatin1String("prompt")) {
        found = prompt.dismissButton();
    } else {
        found = m_panel->findChild<QWidget *>(control);
        for (ResizeHandle *handle : m_panel->findChildren<ResizeHandle *>()) {
            static const QStringList corners{"BottomLeft", "BottomRight", "Left", "Right", "Bottom"};
            if (corners.at(int(handle->corner())) == control)
                found = handle;
        }
    }
    QVERIFY(found);
    QVERIFY2(!found->toolTip().isEmpty(), "no tooltip");
    QVERIFY2(!found->accessibleName().isEmpty(), "no accessible name");
    QCOMPARE(bool(found->focusPolicy() & Qt::TabFocus), tabbable);
    // Clicking never moves the focus into a floating window.
    QVERIFY(!(found->focusPolicy() & Qt::ClickFocus));
}

void TestHUDPanel::surfacesHideWhatIsBehind_data()
{
    QTest::addColumn<QString>("surface");
    QTest::newRow("expanded panel") << "panel";
    QTest::newRow("capsule") << "capsule";
    QTest::newRow("meeting prompt") << "prompt";
}

// Nothing here blurs what lies behind a window, so black text behind a
// surface must not show through it.
void TestHUDPanel::surfacesHideWhatIsBehind()
{
    QFETCH(QString, surface);
    QVERIFY(!Brand::hasBackdropBlur());
    std::unique_ptr<QWidget> widget;
    QPoint probe;
    if (surface == QLatin1String("prompt")) {
        auto *prompt = new MeetingPopupView(QStringLiteral("Zoom"), {}, {});
        widget.reset(prompt);
        widget->resize(widget->sizeHint());
        widget->setAttribute(Qt::WA_DontShowOnScreen);
        widget->show();
        probe = prompt->cardGeometry().topLeft() + QPoint(6, prompt->cardGeometry().height() / 2);
    } else {
        m_hud->setExpandedForRendering(surface == QLatin1String("panel"));
        auto *view = new LiveHUDView(m_state.get(), m_hud.get());
        widget.reset(view);
        widget->resize(HUDGeometry::windowSize(surface == QLatin1String("panel") ? LiveHUD::defaultInner
                                                                                 : LiveHUD::capsuleInner)
                           .toSize());
        widget->setAttribute(Qt::WA_DontShowOnScreen);
        widget->show();
        const QRect inner = view->innerRect();
        probe = QPoint(inner.left() + 4, inner.center().y());
    }
    QImage image(widget->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::black);
    widget->render(&image, {}, {}, QWidget::DrawChildren);
    const QColor seen = image.pixelColor(probe);
    QVERIFY2(qMin(seen.red(), qMin(seen.green(), seen.blue())) >= 250, qPrintable(seen.name()));
}

void TestHUDPanel::capsuleGlyphFollowsTheSession_data()
{
    QTest::addColumn<bool>("listening");
    QTest::addColumn<bool>("paused");
    QTest::addColumn<bool>("error");
    QTest::addColumn<QString>("glyph");
    QTest::addColumn<QString>("toolTip");

    QTest::newRow("listening") << true << false << false << "breathing" << HUDCapsule::listeningToolTip;
    QTest::newRow("paused") << false << true << false << "marigold" << HUDCapsule::pausedToolTip;
    QTest::newRow("paused with an error") << false << true << true << "tomato" << HUDCapsule::pausedToolTip;
    QTest::newRow("stopped") << false << false << false << "still" << HUDCapsule::listeningToolTip;
}

void TestHUDPanel::capsuleGlyphFollowsTheSession()
{
    QFETCH(bool, listening);
    QFETCH(bool, paused);
    QFETCH(bool, error);
    QFETCH(QString, glyph);
    QFETCH(QString, toolTip);

    HUDCapsule capsule(m_hud.get());
    capsule.setState(m_state.get());
    capsule.show();
    SessionController::Preview p;
    p.phase = previewPhase(listening, paused);
    p.elapsed = QStringLiteral("3:07");
    if (error)
        p.lastError = QStringLiteral("Something went wrong.");
    m_state->showPreview(p);

    QCOMPARE(capsule.elapsedLabel()->text(), QStringLiteral("3:07"));
    QCOMPARE(capsule.toolTip(), toolTip);
    const bool pauseGlyph = glyph == QLatin1String("marigold") || glyph == QLatin1String("tomato");
    QCOMPARE(capsule.pauseIcon()->isVisible(), pauseGlyph);
    QCOMPARE(capsule.dot()->isVisible(), !pauseGlyph);
    if (pauseGlyph)
        QCOMPARE(capsule.pauseIcon()->color(), glyph == QLatin1String("tomato") ? Brand::tomato() : Brand::marigold());
    else
        QCOMPARE(capsule.dot()->breathing(), glyph == QLatin1String("breathing"));

    // Out of sight it keeps no time; it shows the right one when it comes back.
    capsule.hide();
    p.elapsed = QStringLiteral("3:08");
    m_state->showPreview(p);
    capsule.show();
    QCOMPARE(capsule.elapsedLabel()->text(), QStringLiteral("3:08"));
}

QTEST_MAIN(TestHUDPanel)
#include "tst_hudpanel.moc"
