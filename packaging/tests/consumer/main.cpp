// Uses both installed libraries: the link control's dispatch table and Rnet framing, and a
// Tessel tag operation. Prints what it found, one line each.
#include <QApplication>
#include <cstdio>
#include <dorlin/CDorlinCtrl.h>
#include <dorlin/Rnet.h>
#include <tessel/clsTessel.h>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    CDorlinCtrl ctrl(nullptr, false);
    bool isProperty = true;
    const int id = CDorlinCtrl::DispIdOf(QStringLiteral("SendRnetCmd"), &isProperty);
    std::printf("SendRnetCmd %d %s\n", id, isProperty ? "property" : "method");
    std::printf("frame %s\n", rnet::Visible(rnet::BuildFrame("F", true)).c_str());
    std::printf("port open %s\n", ctrl.PortOpen() ? "yes" : "no");
    clsTessel tessel;
    std::string value;
    const bool found = tessel.GetTagItem("lng:{cap=13012, tip=13013}", "tip", value, "lng");
    std::printf("tag %s %s\n", found ? "found" : "missing", value.c_str());
    return 0;
}
