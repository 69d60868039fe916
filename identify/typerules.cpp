// The rules table. Ranks: 100 and 90 for what the program knows of the
// address itself; 80 to 85 for a model or a device type that names one kind
// of device; 60 to 70 for a service that mostly one kind offers or a page
// that names its product; 30 to 50 for a service that several kinds offer;
// 10 to 20 for a maker, a weak hint on its own.
#include "identify/typerules.h"

namespace identify {

using C = Clue;
using T = DeviceType;

const TypeRule kTypeRules[] = {
    // The address itself.
    {C::ThisMachine, "", T::Computer, 100},
    {C::Gateway, "", T::Router, 90},

    // Apple's models, as _device-info says them.
    {C::Txt, "_device-info._tcp model=iPhone*", T::Phone, 85},
    {C::Txt, "_device-info._tcp model=iPad*", T::Tablet, 85},
    {C::Txt, "_device-info._tcp model=AppleTV*", T::MediaPlayer, 85},
    {C::Txt, "_device-info._tcp model=AudioAccessory*", T::Speaker, 85},
    {C::Txt, "_device-info._tcp model=AirPort*", T::AccessPoint, 85},
    {C::Txt, "_device-info._tcp model=TimeCapsule*", T::Nas, 85},
    {C::Txt, "_device-info._tcp model=Mac*", T::Computer, 85},
    {C::Txt, "_device-info._tcp model=iMac*", T::Computer, 85},
    // Cast devices, by the model they announce.
    {C::Txt, "_googlecast._tcp md=Chromecast*", T::MediaPlayer, 85},
    {C::Txt, "_googlecast._tcp md=Google Home*", T::Speaker, 85},
    {C::Txt, "_googlecast._tcp md=Google Nest Mini*", T::Speaker, 85},
    {C::Txt, "_googlecast._tcp md=Nest Audio*", T::Speaker, 85},
    {C::Txt, "_googlecast._tcp md=*TV*", T::Tv, 80},

    // Models, whatever said them.
    {C::Model, "*LaserJet*", T::Printer, 80},
    {C::Model, "*OfficeJet*", T::Printer, 80},
    {C::Model, "*DeskJet*", T::Printer, 80},
    {C::Model, "*PIXMA*", T::Printer, 80},
    {C::Model, "*imageCLASS*", T::Printer, 80},
    {C::Model, "*EcoTank*", T::Printer, 80},
    {C::Model, "*WorkForce*", T::Printer, 80},
    {C::Model, "*PlayStation*", T::GameConsole, 80},
    {C::Model, "*Xbox*", T::GameConsole, 80},
    {C::Model, "*Nintendo Switch*", T::GameConsole, 80},
    {C::Model, "*BRAVIA*", T::Tv, 80},
    {C::Model, "*Smart TV*", T::Tv, 80},
    {C::Model, "*Android TV*", T::Tv, 75},
    {C::Model, "*Chromecast*", T::MediaPlayer, 80},
    {C::Model, "*Apple TV*", T::MediaPlayer, 80},
    {C::Model, "*Fire TV*", T::MediaPlayer, 80},
    {C::Model, "*Roku*", T::MediaPlayer, 80},
    {C::Model, "*Sonos*", T::Speaker, 80},
    {C::Model, "*HomePod*", T::Speaker, 80},
    {C::Model, "*DiskStation*", T::Nas, 80},
    {C::Model, "*ReadyNAS*", T::Nas, 80},
    {C::Model, "*TeraStation*", T::Nas, 80},
    {C::Model, "*iPhone*", T::Phone, 80},
    {C::Model, "*iPad*", T::Tablet, 80},
    {C::Model, "*Galaxy Tab*", T::Tablet, 80},
    {C::Model, "*Freebox*", T::Router, 80},
    {C::Model, "*Livebox*", T::Router, 80},
    {C::Model, "*FRITZ!Box*", T::Router, 80},
    {C::Model, "*IP Camera*", T::Camera, 75},
    {C::Model, "*Network Camera*", T::Camera, 75},

    // UPnP device types.
    {C::UpnpDevice, "urn:schemas-upnp-org:device:InternetGatewayDevice:*", T::Router, 80},
    {C::UpnpDevice, "urn:schemas-upnp-org:device:WLANAccessPointDevice:*", T::AccessPoint, 80},
    {C::UpnpDevice, "urn:schemas-upnp-org:device:Printer:*", T::Printer, 80},
    {C::UpnpDevice, "urn:schemas-upnp-org:device:DigitalSecurityCamera:*", T::Camera, 80},
    {C::UpnpDevice, "urn:schemas-upnp-org:device:ZonePlayer:*", T::Speaker, 80},
    {C::UpnpDevice, "urn:schemas-upnp-org:device:BinaryLight:*", T::Iot, 70},
    {C::UpnpDevice, "urn:schemas-upnp-org:device:DimmableLight:*", T::Iot, 70},
    {C::UpnpDevice, "urn:schemas-upnp-org:device:HVAC_System:*", T::Iot, 70},
    {C::UpnpDevice, "urn:Belkin:device:*", T::Iot, 70},
    {C::UpnpDevice, "urn:schemas-upnp-org:device:MediaRenderer:*", T::MediaPlayer, 50},
    {C::UpnpDevice, "urn:dial-multiscreen-org:device:dial:*", T::MediaPlayer, 45},
    {C::UpnpDevice, "urn:schemas-upnp-org:device:MediaServer:*", T::Nas, 40},

    // DNS-SD service types.
    {C::Service, "_ipp._tcp", T::Printer, 70},
    {C::Service, "_ipps._tcp", T::Printer, 70},
    {C::Service, "_printer._tcp", T::Printer, 70},
    {C::Service, "_pdl-datastream._tcp", T::Printer, 70},
    {C::Service, "_uscan._tcp", T::Printer, 60},
    {C::Service, "_scanner._tcp", T::Printer, 60},
    {C::Service, "_sonos._tcp", T::Speaker, 70},
    {C::Service, "_esphomelib._tcp", T::Iot, 70},
    {C::Service, "_axis-video._tcp", T::Camera, 70},
    {C::Service, "_googlecast._tcp", T::MediaPlayer, 60},
    {C::Service, "_hue._tcp", T::Iot, 60},
    {C::Service, "_hap._tcp", T::Iot, 50},
    {C::Service, "_hap._udp", T::Iot, 50},
    {C::Service, "_matter._tcp", T::Iot, 45},
    {C::Service, "_airplay._tcp", T::MediaPlayer, 40},
    {C::Service, "_workstation._tcp", T::Computer, 40},
    {C::Service, "_raop._tcp", T::Speaker, 35},
    {C::Service, "_spotify-connect._tcp", T::Speaker, 35},
    {C::Service, "_adisk._tcp", T::Nas, 35},
    {C::Service, "_rfb._tcp", T::Computer, 35},
    {C::Service, "_smb._tcp", T::Nas, 30},
    {C::Service, "_afpovertcp._tcp", T::Nas, 30},
    {C::Service, "_nfs._tcp", T::Nas, 30},
    {C::Service, "_rtsp._tcp", T::Camera, 30},
    {C::Service, "_ssh._tcp", T::Computer, 10},
    {C::Service, "_sftp-ssh._tcp", T::Computer, 10},

    // Web pages that name their product.
    {C::Title, "*FRITZ!Box*", T::Router, 60},
    {C::Title, "*Livebox*", T::Router, 60},
    {C::Title, "*Freebox*", T::Router, 60},
    {C::Title, "*Bbox*", T::Router, 60},
    {C::Title, "*SFR*Box*", T::Router, 60},
    {C::Title, "*OpenWrt*", T::Router, 60},
    {C::Title, "*LuCI*", T::Router, 60},
    {C::Title, "*RouterOS*", T::Router, 60},
    {C::Title, "*DD-WRT*", T::Router, 60},
    {C::Title, "*pfSense*", T::Router, 60},
    {C::Title, "*OPNsense*", T::Router, 60},
    {C::Title, "*DiskStation*", T::Nas, 60},
    {C::Title, "*Synology*", T::Nas, 60},
    {C::Title, "*QNAP*", T::Nas, 60},
    {C::Title, "*TrueNAS*", T::Nas, 60},
    {C::Title, "*openmediavault*", T::Nas, 60},
    {C::Title, "*IP Camera*", T::Camera, 60},
    {C::Title, "*Network Camera*", T::Camera, 60},
    {C::Title, "*Tasmota*", T::Iot, 60},
    {C::Title, "*ESPHome*", T::Iot, 60},
    {C::Title, "*Shelly*", T::Iot, 60},
    {C::Title, "*LaserJet*", T::Printer, 60},
    {C::Title, "*OfficeJet*", T::Printer, 60},
    {C::Server, "HP HTTP Server*", T::Printer, 55},
    {C::Server, "Virata-EmWeb*", T::Printer, 45},

    // Makers of one kind of device.
    {C::Maker, "*Sonos*", T::Speaker, 20},
    {C::Maker, "*Synology*", T::Nas, 20},
    {C::Maker, "*QNAP*", T::Nas, 20},
    {C::Maker, "*Hikvision*", T::Camera, 20},
    {C::Maker, "*Dahua*", T::Camera, 20},
    {C::Maker, "*Axis Communications*", T::Camera, 20},
    {C::Maker, "*Nintendo*", T::GameConsole, 20},
    {C::Maker, "*Sony Interactive*", T::GameConsole, 20},
    {C::Maker, "*Roku*", T::MediaPlayer, 20},
    {C::Maker, "*Brother*", T::Printer, 20},
    {C::Maker, "AVM *", T::Router, 20},
    {C::Maker, "*Freebox*", T::Router, 20},
    {C::Maker, "*Espressif*", T::Iot, 15},
    {C::Maker, "*Tuya*", T::Iot, 15},
    {C::Maker, "*Shelly*", T::Iot, 15},
    {C::Maker, "*Signify*", T::Iot, 15},
    {C::Maker, "*Seiko Epson*", T::Printer, 15},
    {C::Maker, "*Raspberry Pi*", T::Computer, 15},
    {C::Maker, "*Ubiquiti*", T::AccessPoint, 15},
    {C::Maker, "*Sagemcom*", T::Router, 15},
};

const std::size_t kTypeRuleCount = sizeof kTypeRules / sizeof kTypeRules[0];

bool MatchesPattern(const QString &text, const char *pattern)
{
    const QString wanted = QString::fromUtf8(pattern);
    // The classic walk with one star to fall back to: linear in most cases,
    // at worst the product of the lengths (a few thousand steps here).
    qsizetype t = 0, p = 0, star = -1, mark = 0;
    while (t < text.size()) {
        if (p < wanted.size() && wanted[p] == QLatin1Char('*')) {
            star = p++;
            mark = t;
        } else if (p < wanted.size() && wanted[p].toCaseFolded() == text[t].toCaseFolded()) {
            ++p;
            ++t;
        } else if (star >= 0) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < wanted.size() && wanted[p] == QLatin1Char('*'))
        ++p;
    return p == wanted.size();
}

} // namespace identify
