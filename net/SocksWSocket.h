#pragma once

#include "net/CustomWSocket.h"

#include <cstdint>
#include <memory>
#include <string>

// The lookup of a SOCKS 4 destination has come back.
constexpr UINT WM_SOCKET_SOCKS_LOOKUP = WM_USER + 23;
// The lookup of the SOCKS server's own name has come back.
constexpr UINT WM_SOCKET_SOCKS_SERVER_LOOKUP = WM_USER + 24;

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState { socksAuthBegin, socksAuthAccepted, socksAuthRejected, socksAuthNotNeeded };

using TSocksErrorEvent = std::function<void(TCustomWSocket *Sender, int Error, const std::string &Msg)>;
using TSocksAuthStateEvent = std::function<void(TCustomWSocket *Sender, TSocksAuthState AuthState)>;

// SOCKS client layer. With SocksServer set, Connect goes to the SOCKS server,
// runs the SOCKS 4, 4A or 5 handshake there, and only then reports the session
// as connected; with SocksServer empty it passes everything through.
class TCustomSocksWSocket : public TCustomWSocket {
public:
    TCustomSocksWSocket();

    const std::string &SocksServer() const { return FSocksServer; }
    virtual void SetSocksServer(const std::string &value);
    const std::string &SocksPort() const { return FSocksPort; }
    virtual void SetSocksPort(const std::string &value);
    const std::string &SocksLevel() const { return FSocksLevel; }
    void SetSocksLevel(const std::string &value);
    const std::string &SocksUsercode() const { return FSocksUsercode; }
    void SetSocksUsercode(const std::string &value) { FSocksUsercode = value; }
    const std::string &SocksPassword() const { return FSocksPassword; }
    void SetSocksPassword(const std::string &value) { FSocksPassword = value; }
    TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
    void SetSocksAuthentication(TSocksAuthentication value) { FSocksAuthentication = value; }
    // What a SOCKS 5 server reported in its connect reply.
    const std::string &SocksBoundAddr() const { return FBoundAddr; }
    const std::string &SocksBoundPort() const { return FBoundPort; }
    // Why the last negotiation failed, in the server's own terms ("connection
    // refused"); empty when it did not fail.
    const std::string &SocksReason() const { return FSocksReason; }

    void Connect() override;
    void Listen() override;

    // The TCP connection to the SOCKS server was made (0) or failed.
    TSessionConnected OnSocksConnected;
    // The negotiation failed; the same code follows in OnSessionConnected
    // and OnSessionClosed.
    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;

protected:
    LRESULT WindowProcedure(UINT Msg, WPARAM wParam, LPARAM lParam) override;
    void ResetToDefaults() override;
    int GetRcvdCount() override;
    int DoRecv(void *Buffer, int BufferSize, int Flags) override;
    bool HasBufferedData() override;
    bool FireDataAvailable(std::uint16_t Error) override;
    void FireSessionConnected(std::uint16_t Error) override;
    void FireSessionClosed(std::uint16_t Error) override;
    virtual void FireSocksConnected(std::uint16_t Error);
    virtual void FireSocksError(int Error, const std::string &Msg);
    virtual void FireSocksAuthState(TSocksAuthState AuthState);

    // A handshake is running: the bytes on the wire belong to it, not to the owner.
    bool SocksNegotiating() const { return FSocksState != 0 && FSocksServerAssigned; }

    std::string FSocksServer, FSocksPort, FSocksLevel = "5", FSocksUsercode, FSocksPassword;
    TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
    bool FSocksServerAssigned = false, FSocksPortAssigned = false;
    // 0 pass-through, 1 connecting or awaiting the method reply, 2 awaiting
    // the authentication reply, 3 awaiting the connect reply.
    std::uint8_t FSocksState = 0;
    std::uint8_t FSocksMethod = 0; // offered to a SOCKS 5 server: 0 none, 2 user code and password
    std::string FBoundAddr, FBoundPort;
    std::string FSocksReason;

private:
    // SOCKS 4 carries the destination as an address: a name is looked up
    // first, without blocking, and the request goes out with the reply.
    struct DestinationLookup {
        ws::HANDLE task = 0;
        alignas(ws::HOSTENT) char buffer[ws::MAXGETHOSTSTRUCT + 1]{};
    };
    std::unique_ptr<DestinationLookup> FDestinationLookup;
    void CancelDestinationLookup();
    void DestinationLookedUp(WPARAM wParam, LPARAM lParam);
    // The SOCKS server's name is looked up the same way, in both families,
    // and its addresses tried in turn; the socket is connecting meanwhile.
    struct ServerLookup {
        ws::HANDLE task = 0;
        alignas(ws::ADDRINFO) char buffer[ws::MAXGETHOSTSTRUCT + 1]{};
    };
    std::unique_ptr<ServerLookup> FServerLookup;
    void CancelServerLookup();
    void ServerLookedUp(WPARAM wParam, LPARAM lParam);
    void SendSocks4Request(std::uint32_t Addr);

    // Reads what the current reply still lacks, up to Limit bytes held.
    // False when nothing new came.
    bool ReadReply(int Limit);
    bool SocksFail(int Code, const std::string &Msg);
    bool SocksGranted();
    void SocksDoConnect();
    void SocksDoAuthenticate();
    bool SendRequest(const std::string &Request);
    // Why the requests could not be built from the current settings, or empty.
    std::string SocksRequestProblem() const;

    // Large enough for the longest SOCKS 5 reply (a 255-byte name) and more,
    // so a reply always fits and every read makes progress.
    static constexpr int kReplyBufferSize = 512;
    char FReplyBuffer[kReplyBufferSize]{};
    int FReplyCount = 0;
    // Bytes of the data stream that came behind the SOCKS 5 reply.
    int FLeftoverCount = 0;
    int FLeftoverPosition = 0;
};
