// What a web page can make a real browser send to the control port:
// headless Chromium loads a page served from 127.0.0.1 (loopback to
// loopback, so the browser's own guard for private networks hides nothing)
// that tries every route there is, and a page opened from a file. No
// command may run. The closing table lists, per route, the Origin and Host
// the server saw and its answer, beside what the page saw.
//
// Nothing leaves the machine: background networking is off and the host
// resolver knows no name but "rebind.test", which it maps to 127.0.0.1.
#include "app/shell/ControlServer.h"

#include "platform/HttpHead.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>
#include <QUrlQuery>

#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <set>

#include "app/HttpStandIn.h"
#include "app/shell/LoopbackClient.h"
#include "support/TempDir.h"

using namespace qm;
using namespace qm::test;
using namespace std::chrono_literals;

namespace {

QString browserProgram() {
    for (const char* name : {"chromium-headless-shell", "chromium"}) {
        const QString path = QStandardPaths::findExecutable(name);
        if (!path.isEmpty())
            return path;
    }
    return {};
}

// One headless browser on one address, until the object goes.
class Browser {
public:
    Browser(const QString& program, const TempDir& profile, const QString& address) {
        QStringList arguments = {
            "--no-sandbox",  // CI runs as root
            "--disable-gpu",
            "--disable-quic",
            "--no-first-run",
            "--disable-background-networking",
            "--disable-component-update",
            "--disable-sync",
            "--disable-default-apps",
            "--disable-extensions",
            "--user-data-dir=" + QString::fromStdString(profile.path().string()),
            // Chromium applies "*" to address literals too, so 127.0.0.1 is excepted.
            "--host-resolver-rules=MAP rebind.test 127.0.0.1, MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
        };
        if (qEnvironmentVariableIsSet("QM_BROWSER_LOG"))
            arguments << "--enable-logging=stderr" << "--v=0";
        if (!program.endsWith("headless-shell"))
            arguments.prepend("--headless");
        process_.setProcessChannelMode(QProcess::MergedChannels);
        // Its own process group: Debian starts the browser from a shell
        // script, and the browser starts helpers; all of them go together.
        process_.setChildProcessModifier([] { ::setpgid(0, 0); });
        process_.start(program, arguments << address);
    }
    ~Browser() {
        if (qEnvironmentVariableIsSet("QM_BROWSER_LOG"))
            std::fprintf(stderr, "%s\n", process_.readAll().constData());
        const qint64 group = process_.processId();
        if (group > 0) {
            ::kill(pid_t(-group), SIGTERM);
            if (!process_.waitForFinished(5000))
                ::kill(pid_t(-group), SIGKILL);
            process_.waitForFinished(5000);
            // Helpers that outlive the script's shell are still in the group.
            ::kill(pid_t(-group), SIGKILL);
        }
    }
    bool running() const { return process_.state() != QProcess::NotRunning; }

private:
    QProcess process_;
};

// The script shared by the frames that report to their parent.
QByteArray frameFetch(const QByteArray& control, const QByteArray& via) {
    return "<script>fetch('" + control + "/status?via=" + via +
           "',{headers:{'X-Quillmarsh':'1'},cache:'no-store'})"
           ".then(r=>r.text().then(t=>parent.postMessage({route:'" + via + "',outcome:'status '+r.status+' '+t},'*')),"
           "e=>parent.postMessage({route:'" + via + "',outcome:'error '+e.name},'*'))</script>";
}

QByteArray mainPage(quint16 control, quint16 rebind) {
    const QByteArray c = "http://127.0.0.1:" + QByteArray::number(control);
    QByteArray page = R"(<!doctype html><meta charset=utf-8><title>routes</title><body>
<iframe name=sink1></iframe><iframe name=sink2></iframe><iframe name=sink3></iframe>
<script>
const C = '@C@';
const H = {'X-Quillmarsh': '1'};
const results = {};
const pending = new Set();
function report(route, outcome) {
  return fetch('/report?route=' + encodeURIComponent(route), {method: 'POST', body: String(outcome)});
}
function start(route) { pending.add(route); }
function done(route, outcome) {
  if (route in results) return;
  results[route] = String(outcome);
  pending.delete(route);
  report(route, outcome);
}
window.addEventListener('message', e => done(e.data.route, e.data.outcome));
function tryFetch(route, url, init) {
  start(route);
  fetch(url, Object.assign({cache: 'no-store'}, init)).then(
    r => r.text().then(t => done(route, 'status ' + r.status + ' ' + r.type + ' ' + t)),
    e => done(route, 'error ' + e.name));
}
tryFetch('fetch-header', C + '/status?via=fetch-header', {headers: H});
tryFetch('no-cors', C + '/status?via=no-cors', {mode: 'no-cors', headers: H});
tryFetch('redirect', '/redirect?via=redirect', {headers: H});
tryFetch('redirect-no-cors', '/redirect?via=redirect-no-cors', {mode: 'no-cors'});
start('img');
const img = new Image();
img.onload = () => done('img', 'load');
img.onerror = () => done('img', 'error');
img.src = C + '/status?via=img';
start('script');
const s = document.createElement('script');
s.onload = () => done('script', 'load');
s.onerror = () => done('script', 'error');
s.src = C + '/status?via=script';
document.body.appendChild(s);
function submit(route, method, action, sink, enctype) {
  start(route);
  const f = document.createElement('form');
  f.method = method; f.action = action; f.target = sink;
  if (enctype) f.enctype = enctype;
  f.innerHTML = '<input name=via value=' + route + '><input name=X-Quillmarsh value=1>';
  document.body.appendChild(f);
  document.querySelector('iframe[name=' + sink + ']').onload = () => done(route, 'load');
  f.submit();
}
submit('form-get', 'GET', C + '/status', 'sink1');
submit('form-post', 'POST', C + '/status?via=form-post', 'sink2', 'text/plain');
submit('form-post-redirect', 'POST', '/redirect?via=form-post-redirect', 'sink3');
function frame(route, set, reports) {
  start(route);
  const f = document.createElement('iframe');
  if (!reports) f.onload = () => done(route, 'load');
  set(f);
  document.body.appendChild(f);
}
frame('navigation', f => f.src = C + '/status?via=navigation');
frame('sandboxed', f => { f.sandbox = 'allow-scripts'; f.srcdoc = @SANDBOXED@; }, true);
frame('data-frame', f => f.src = 'data:text/html,' + encodeURIComponent(@DATA@), true);
start('websocket');
const ws = new WebSocket('ws://127.0.0.1:@CP@/status?via=websocket');
ws.onopen = () => done('websocket', 'open');
ws.onclose = e => done('websocket', 'close ' + e.code);
start('rebind-ready');
start('rebind');
frame('rebind', f => f.src = 'http://rebind.test:@RP@/rebind.html', true);
const began = Date.now();
const timer = setInterval(() => {
  if (pending.size == 0 || Date.now() - began > 20000) {
    clearInterval(timer);
    report('final', JSON.stringify(results));
  }
}, 100);
</script>
)";
    auto quoted = [](const QByteArray& text) {
        // A JavaScript string inside a script element: no "</" may end it.
        return "'" + QByteArray(text).replace("\\", "\\\\").replace("'", "\\'").replace("</", "<\\/") + "'";
    };
    return page.replace("@C@", c)
        .replace("@CP@", QByteArray::number(control))
        .replace("@RP@", QByteArray::number(rebind))
        .replace("@SANDBOXED@", quoted(frameFetch(c, "sandboxed")))
        .replace("@DATA@", quoted(frameFetch(c, "data-frame")));
}

// After DNS rebinding the page's own name leads to the control port: its
// requests are same-origin, so they carry the header without a preflight
// and no Origin at all.
const QByteArray kRebindPage = R"(<!doctype html><script>
parent.postMessage({route: 'rebind-ready', outcome: 'loaded'}, '*');
let tries = 0;
function poll() {
  fetch('/status?via=rebind', {headers: {'X-Quillmarsh': '1'}, cache: 'no-store'}).then(
    r => r.text().then(t => {
      if (t == 'page' && ++tries < 150) setTimeout(poll, 100);
      else parent.postMessage({route: 'rebind', outcome: 'status ' + r.status + ' ' + t}, '*');
    }),
    e => { if (++tries < 150) setTimeout(poll, 100); else parent.postMessage({route: 'rebind', outcome: 'error ' + e.name}, '*'); });
}
poll();
</script>)";

QByteArray filePage(quint16 control, quint16 reports) {
    QByteArray page = R"(<!doctype html><script>
const C = 'http://127.0.0.1:@CP@';
function report(route, outcome) {
  fetch('http://127.0.0.1:@RP@/report?route=' + route, {method: 'POST', mode: 'no-cors', body: outcome});
}
fetch(C + '/status?via=file-page', {headers: {'X-Quillmarsh': '1'}, cache: 'no-store'}).then(
  r => r.text().then(t => report('file-page', 'status ' + r.status + ' ' + t)), e => report('file-page', 'error ' + e.name));
fetch(C + '/status?via=file-page-no-cors', {mode: 'no-cors', cache: 'no-store'}).then(
  r => report('file-page-no-cors', 'status ' + r.status + ' ' + r.type), e => report('file-page-no-cors', 'error ' + e.name));
</script>)";
    return page.replace("@CP@", QByteArray::number(control)).replace("@RP@", QByteArray::number(reports));
}

struct Seen {
    QByteArray method, origin, host;
    int status;
};

}  // namespace

TEST(ControlServerBrowser, NoWebPageRunsACommand) {
    const QString program = browserProgram();
    ASSERT_FALSE(program.isEmpty()) << "no chromium-headless-shell or chromium (scripts/setup.sh installs it)";

    int commandsRun = 0;
    auto handler = [&](const std::string&, const ControlServer::Parameters&) {
        ++commandsRun;
        return nlohmann::json{{"ran", true}};
    };
    std::map<QString, std::vector<Seen>> seen;  // by the route's "via"
    auto watch = [&](ControlServer& server) {
        QObject::connect(&server, &ControlServer::answered, [&](const QByteArray& head, int status) {
            const auto request = HttpHead::parse(head.toStdString());
            Seen s{"?", "(none)", "(none)", status};
            QString via = "(unparsed)";
            if (request) {
                s.method = QByteArray::fromStdString(request->method);
                if (auto* o = request->header("origin"))
                    s.origin = QByteArray::fromStdString(*o);
                if (auto* h = request->header("host"))
                    s.host = QByteArray::fromStdString(*h);
                via = QUrlQuery(QUrl("http://x" + QString::fromStdString(request->target))).queryItemValue("via");
                if (via.isEmpty())
                    via = QString::fromStdString(request->target);
            }
            seen[via].push_back(s);
        });
    };
    ControlServer control(0);
    control.setHandler(handler);
    watch(control);
    control.start();
    const quint16 controlPort = control.serverPort();

    // The rebinding site: its page first, then (same name, same port) the
    // control port in its place.
    auto rebindSite = std::make_unique<HttpStandIn>([&](const HttpRequest& r) -> HttpAnswer {
        if (r.path == "/rebind.html")
            return {200, kRebindPage, "text/html"};
        return {200, "page", "text/plain"};
    });
    const quint16 rebindPort = quint16(rebindSite->base().port());
    std::unique_ptr<ControlServer> rebound;

    // The site of the main page, which also takes the pages' reports.
    std::map<QString, QString> outcomes;  // by route, as the pages saw them
    bool final = false;
    bool swap = false;
    const QByteArray page = mainPage(controlPort, rebindPort);
    HttpStandIn site([&](const HttpRequest& r) -> HttpAnswer {
        if (r.path == "/page.html")
            return {200, page, "text/html"};
        if (r.path == "/redirect")
            return HttpAnswer::redirect("http://127.0.0.1:" + QByteArray::number(controlPort) +
                                        "/status?via=" + r.query.queryItemValue("via").toUtf8());
        if (r.path == "/report") {
            const QString route = r.query.queryItemValue("route");
            outcomes[route] = QString::fromUtf8(r.body);
            final = final || route == "final";
            swap = swap || route == "rebind-ready";
            return {200, "{}"};
        }
        return {404, "{}"};
    });
    TempDir profile;
    {
        Browser browser(program, profile, site.base().toString() + "page.html");
        const bool finished = runUntil([&] {
            if (swap && !rebound) {
                rebindSite.reset();
                rebound = std::make_unique<ControlServer>(rebindPort);
                rebound->setHandler(handler);
                watch(*rebound);
                rebound->start();
            }
            return final || !browser.running();
        }, 40s);
        EXPECT_TRUE(finished) << "the page never sent its final report";
        ASSERT_TRUE(rebound && rebound->isListening()) << "the rebinding site's port could not be taken over";
    }
    {
        TempDir folder;
        const auto file = folder / "control.html";
        writeBytes(file, filePage(controlPort, quint16(site.base().port())).toStdString());
        TempDir fileProfile;
        Browser browser(program, fileProfile, QUrl::fromLocalFile(QString::fromStdString(file.string())).toString());
        EXPECT_TRUE(runUntil([&] { return outcomes.count("file-page") && outcomes.count("file-page-no-cors"); }, 20s));
    }

    std::printf("[ routes   ] %-20s %-6s %-26s %-22s %-6s  %s\n", "route", "method", "Origin seen", "Host seen",
                "answer", "what the page saw");
    const std::vector<QString> routes = {"fetch-header", "no-cors", "redirect", "redirect-no-cors", "img", "script",
                                         "form-get", "form-post", "form-post-redirect", "navigation", "sandboxed",
                                         "data-frame", "websocket", "rebind", "file-page", "file-page-no-cors"};
    for (const auto& [via, list] : seen)
        for (const Seen& s : list)
            std::printf("[ routes   ] %-20s %-6s %-26s %-22s %-6d  %s\n", via.toUtf8().constData(), s.method.constData(),
                        s.origin.constData(), s.host.constData(), s.status,
                        outcomes.count(via) ? outcomes[via].left(60).toUtf8().constData() : "");
    for (const QString& route : routes)
        if (!seen.count(route))
            std::printf("[ routes   ] %-20s never reached the port; the page saw: %s\n", route.toUtf8().constData(),
                        outcomes.count(route) ? outcomes[route].toUtf8().constData() : "(nothing)");

    EXPECT_EQ(commandsRun, 0);
    for (const QString& route : routes)
        EXPECT_TRUE(seen.count(route)) << route.toStdString() << " never reached the port";
    for (const auto& [via, list] : seen)
        for (const Seen& s : list)
            EXPECT_EQ(s.status, 403) << via.toStdString() << " " << s.method.constData();
    for (const auto& [route, outcome] : outcomes)
        EXPECT_FALSE(outcome.contains("\"ran\"")) << route.toStdString();
}
