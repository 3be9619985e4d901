#include "app/Unit3_Wsocket.h"

#include "app/PacketQueue.h"
#include "app/Unit_Globals.h"

std::vector<std::string> TFeedAssembler::Feed(const std::string& datagram)
{
    std::string text = FLeftover + datagram;
    FLeftover.clear();
    std::vector<std::string> lines;
    const bool finished = !text.empty() && text.back() == '\n';
    const TSplitArray pieces = Split(text, "\n");
    for (size_t i = 0; i < pieces.size(); ++i)
    {
        const std::string& piece = pieces[i];
        if (Split(piece, "\t").size() == 11)
            lines.push_back(piece);
        else if (i + 1 == pieces.size() && !finished && piece != "\r" && piece.size() <= MaxLeftover)
            FLeftover = piece;
    }
    return lines;
}

TMySocket::TMySocket(TComponent* AOwner, int port) : TWSocket(AOwner)
{
    OnChangeState = [](TObject*, TSocketState OldState, TSocketState NewState) {
        LogToPktData(SocketStateName(OldState) + " " + SocketStateName(NewState));
    };
    OnError = [](TObject*) { LogToPktData("WSocket1Error"); };
    OnBgException = [](TObject*, Exception& E, bool& CanClose) {
        LogToPktData(std::string("WSocket1BgException ") + E.what());
        CanClose = true;
    };
    OnSessionAvailable = [](TObject*, uint16_t) { LogToPktData("WSocket1SessionAvailable"); };
    OnSessionConnected = [](TObject*, uint16_t) { LogToPktData("WSocket1SessionConnected"); };
    OnSessionClosed = [](TObject*, uint16_t) { LogToPktData("WSocket1SessionClosed"); };
    OnSocksAuthState = [](TObject*, TSocksAuthState) { LogToPktData("WSocket1SocksAuthState"); };
    OnSocksConnected = [](TObject*, uint16_t) { LogToPktData("WSocket1SocksConnected"); };
    OnSocksError = [](TObject*, int, const std::string&) { LogToPktData("WSocket1SocksError"); };
    OnDataAvailable = [this](TObject* Sender, uint16_t ErrCode) { WSocket1DataAvailable(Sender, ErrCode); };
    SetAddr("0.0.0.0");
    SetLineMode(false);
    SetLingerOnOff(wsLingerOn);
    SetPort(std::to_string(port));
    SetProto("udp");
}

TMySocket::~TMySocket() = default;

void TMySocket::WSocket1DataAvailable(TObject*, uint16_t)
{
    try
    {
        std::string buffer(65536, '\0');
        const int n = Receive(buffer.data(), static_cast<int>(buffer.size()));
        if (n <= 0)
            return;
        buffer.resize(static_cast<size_t>(n));
        for (const std::string& line : FAssembler.Feed(buffer))
            QueLoad(line);
        PacketTick();
    }
    catch (const std::exception& e)
    {
        LogToPktData(std::string("WSocket1DataAvailable ") + e.what());
    }
}
