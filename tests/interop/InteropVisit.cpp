#include "tests/interop/InteropVisit.h"

Visit VisitUrl(const std::string &url, const VisitSetup &setup, int guardMs)
{
    Visit visit;
    THttpCli cli;
    TMemoryStream body;
    cli.SetRcvdStream(&body);
    cli.SetURL(url);
    cli.OnLocationChange = [&visit](THttpCli *) { ++visit.relocations; };
    int doneCalls = 0;
    cli.OnRequestDone = [&](THttpCli *, THttpRequest, std::uint16_t error) {
        ++doneCalls;
        visit.doneError = error;
    };
    if (setup)
        setup(cli);
    const auto start = std::chrono::steady_clock::now();
    visit.outcome = RunGet(cli, guardMs);
    visit.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    // OnRequestDone comes from the message loop once Get has returned.
    visit.doneCame = PumpUntil([&] { return doneCalls > 0; }, 3000);
    visit.status = cli.StatusCode();
    visit.reason = cli.ReasonPhrase();
    visit.location = cli.Location();
    visit.body = QByteArray(body.Bytes().data(), static_cast<qsizetype>(body.Bytes().size()));
    return visit;
}
