// The client's life and its plumbing: construction binds the socket's events
// to the handlers of HttpProt.cpp, the hidden window takes the three posted
// messages, and every state change and event goes through one function here,
// so a request can be followed in a debugger from one place.

#include "net/HttpProt.h"

#include "platform/TextCodec.h"

EHttpException::EHttpException(const std::string &Message, std::uint16_t ErrorCode)
    : Exception(DecodeAnsi(QByteArray::fromStdString(Message))), FErrorCode(ErrorCode)
{
}

THttpCli::THttpCli() : THttpCli(std::make_unique<TWSocket>()) {}

THttpCli::THttpCli(std::unique_ptr<TWSocket> Socket) : FCtrlSocket(std::move(Socket))
{
    CreateNotifyWindow();
    FCtrlSocket->OnDnsLookupDone = [this](TCustomWSocket *s, std::uint16_t e) { HandleDnsLookupDone(s, e); };
    FCtrlSocket->OnSessionConnected = [this](TCustomWSocket *s, std::uint16_t e) { HandleSessionConnected(s, e); };
    FCtrlSocket->OnDataAvailable = [this](TCustomWSocket *s, std::uint16_t e) { HandleDataAvailable(s, e); };
    FCtrlSocket->OnDataSent = [this](TCustomWSocket *s, std::uint16_t e) { HandleDataSent(s, e); };
    FCtrlSocket->OnTlsHandshakeDone = [this](TCustomWSocket *s, std::uint16_t e) { HandleTlsHandshakeDone(s, e); };
    BindSessionClosed(&THttpCli::HandleSessionClosed);
    FCtrlSocket->OnError = [this](TCustomWSocket *) {
        if (OnSocketError)
            OnSocketError(this);
    };
    FCtrlSocket->OnSocksConnected = [this](TCustomWSocket *s, std::uint16_t e) {
        if (OnSocksConnected)
            OnSocksConnected(s, e);
    };
    FCtrlSocket->OnSocksError = [this](TCustomWSocket *s, int e, const std::string &msg) {
        if (OnSocksError)
            OnSocksError(s, e, msg);
    };
    FCtrlSocket->OnSocksAuthState = [this](TCustomWSocket *s, TSocksAuthState state) {
        if (OnSocksAuthState)
            OnSocksAuthState(s, state);
    };
}

THttpCli::~THttpCli()
{
    FAlive.reset();
    // The socket may still report a close while it goes; nobody is listening.
    FCtrlSocket->OnDnsLookupDone = nullptr;
    FCtrlSocket->OnSessionConnected = nullptr;
    FCtrlSocket->OnDataAvailable = nullptr;
    FCtrlSocket->OnDataSent = nullptr;
    FCtrlSocket->OnTlsHandshakeDone = nullptr;
    FCtrlSocket->OnSessionClosed = nullptr;
    FCtrlSocket->OnError = nullptr;
    FCtrlSocket->OnSocksConnected = nullptr;
    FCtrlSocket->OnSocksError = nullptr;
    FCtrlSocket->OnSocksAuthState = nullptr;
    FCtrlSocket.reset();
    DestroyNotifyWindow();
}

void THttpCli::CreateNotifyWindow()
{
    // An exception from a handler of OnRequestDone must not reach Qt; the
    // request is over by then, so there is nothing left to undo.
    FWindow = std::make_unique<NotifyWindow>([this](UINT m, WPARAM w, LPARAM l) { return WindowProcedure(m, w, l); },
                                             [](std::exception_ptr) {});
}

void THttpCli::DestroyNotifyWindow()
{
    FWindow.reset();
}

void THttpCli::BindSessionClosed(void (THttpCli::*Handler)(TCustomWSocket *, std::uint16_t))
{
    FCtrlSocket->OnSessionClosed = [this, Handler](TCustomWSocket *s, std::uint16_t e) { (this->*Handler)(s, e); };
}

void THttpCli::SetMultiThreaded(bool Value)
{
    FMultiThreaded = Value;
    FCtrlSocket->SetMultiThreaded(Value);
}

LRESULT THttpCli::WindowProcedure(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    switch (Msg) {
    case WM_HTTP_DONE:
        // Type and error travel with the message: the caller may have started
        // the next request before this one's completion is delivered.
        if (OnRequestDone)
            OnRequestDone(this, static_cast<THttpRequest>(wParam), static_cast<std::uint16_t>(lParam));
        return 0;
    case WM_HTTP_READY:
        if (wParam == FRequestSerial)
            ChangeState(hsReady);
        return 0;
    case WM_HTTP_NEXT_ADDRESS:
        if (wParam == FRequestSerial && FState == hsDnsLookupDone && !FAddressesLeft.empty()) {
            BindSessionClosed(&THttpCli::HandleSessionClosed);
            FDnsResult = FAddressesLeft.front();
            FAddressesLeft.erase(FAddressesLeft.begin());
            ConnectToAddress(FDnsResult);
        }
        return 0;
    case WM_HTTP_RECONNECT:
        // An Abort between the relocation and this message ended the request.
        if (wParam == FRequestSerial && FState == hsWaitingHeader)
            StartConnection();
        return 0;
    default:
        return 0;
    }
}

void THttpCli::PostRequestDone()
{
    FWindow->Post(WM_HTTP_DONE, static_cast<WPARAM>(FRequestType), static_cast<LPARAM>(FRequestDoneError));
}

void THttpCli::PostSetReady()
{
    FWindow->Post(WM_HTTP_READY, FRequestSerial, 0);
}

void THttpCli::ChangeState(THttpCliState NewState)
{
    if (FState == NewState)
        return;
    FState = NewState;
    if (NewState == hsReady) {
        // Taken before the event, so that it carries this request's outcome
        // even if the handler starts the next request at once. Get's own
        // request is posted only once Get has returned.
        if (FWaiting)
            FHeldDone.emplace_back(static_cast<WPARAM>(FRequestType), static_cast<LPARAM>(FRequestDoneError));
        else
            PostRequestDone();
    }
    FireStateChange();
}

void THttpCli::FireStateChange()
{
    if (OnStateChange)
        OnStateChange(this);
}

void THttpCli::FireCookie(const std::string &Data, bool &Accept)
{
    if (OnCookie)
        OnCookie(this, Data, Accept);
}

void THttpCli::FireSessionConnected()
{
    if (OnSessionConnected)
        OnSessionConnected(this);
}

void THttpCli::FireBeforeHeaderSend(const std::string &Method, std::vector<std::string> &Headers)
{
    if (OnBeforeHeaderSend)
        OnBeforeHeaderSend(this, Method, Headers);
}

void THttpCli::FireRequestHeaderBegin()
{
    if (OnRequestHeaderBegin)
        OnRequestHeaderBegin(this);
}

void THttpCli::FireRequestHeaderEnd()
{
    if (OnRequestHeaderEnd)
        OnRequestHeaderEnd(this);
}

void THttpCli::FireHeaderBegin()
{
    FHeaderFlag = true;
    if (OnHeaderBegin)
        OnHeaderBegin(this);
}

void THttpCli::FireHeaderEnd()
{
    FHeaderFlag = false;
    if (OnHeaderEnd)
        OnHeaderEnd(this);
}

void THttpCli::FireDocBegin()
{
    if (OnDocBegin)
        OnDocBegin(this);
}

void THttpCli::FireDocData(const void *Buffer, int Len)
{
    if (OnDocData)
        OnDocData(this, Buffer, Len);
}

void THttpCli::FireDocEnd()
{
    if (OnDocEnd)
        OnDocEnd(this);
}

void THttpCli::FireSendBegin()
{
    if (OnSendBegin)
        OnSendBegin(this);
}

void THttpCli::FireSendData(const void *Buffer, int Len)
{
    if (OnSendData)
        OnSendData(this, Buffer, Len);
}

void THttpCli::FireSendEnd()
{
    if (OnSendEnd)
        OnSendEnd(this);
}

void THttpCli::DeriveDocName()
{
    ::DeriveDocName(FDocName);
}

void THttpCli::CloseConnection()
{
    FCtrlSocket->Close();
    FConnected = false;
}
