-- Wireshark dissector for the unit's telemetry on UDP port 2013.
-- Every datagram begins with a 16-bit big-endian type:
--   0 status    (4 bytes):  battery level %, charging status
--   1 version   (6 bytes):  major, minor, patch (16 bits) of the unit's software
--   2 identity (29 bytes):  serial number (10 characters and a zero byte), UUID (16 bytes)
-- Use: wireshark -X lua_script:unitboard.lua, or copy it to the personal
-- plugins folder (~/.local/lib/wireshark/plugins/).

local proto = Proto("unitboard", "Unit telemetry")

local types = { [0] = "Status", [1] = "Version", [2] = "Identity" }
local lengths = { [0] = 4, [1] = 6, [2] = 29 }
local charging_states = { [0] = "Off", [1] = "On", [2] = "Error" }

local f = {
  type = ProtoField.uint16("unitboard.type", "Type", base.DEC, types),
  battery = ProtoField.uint8("unitboard.battery", "Battery level (%)", base.DEC),
  charging = ProtoField.uint8("unitboard.charging", "Charging status", base.DEC, charging_states),
  major = ProtoField.uint8("unitboard.version.major", "Major", base.DEC),
  minor = ProtoField.uint8("unitboard.version.minor", "Minor", base.DEC),
  patch = ProtoField.uint16("unitboard.version.patch", "Patch", base.DEC),
  serial = ProtoField.string("unitboard.serial", "Serial number"),
  uuid = ProtoField.bytes("unitboard.uuid", "UUID"),
}
proto.fields = { f.type, f.battery, f.charging, f.major, f.minor, f.patch, f.serial, f.uuid }

local e_length = ProtoExpert.new("unitboard.bad_length", "Wrong length for this type",
                                 expert.group.MALFORMED, expert.severity.ERROR)
local e_type = ProtoExpert.new("unitboard.unknown_type", "Unknown datagram type",
                               expert.group.MALFORMED, expert.severity.WARN)
local e_range = ProtoExpert.new("unitboard.out_of_range", "Value out of range",
                                expert.group.MALFORMED, expert.severity.WARN)
proto.experts = { e_length, e_type, e_range }

function proto.dissector(tvb, pinfo, tree)
  pinfo.cols.protocol = "UNITBOARD"
  local root = tree:add(proto, tvb())
  if tvb:len() < 2 then
    root:add_proto_expert_info(e_length, "Too short for a type")
    return
  end
  local t = tvb(0, 2):uint()
  root:add(f.type, tvb(0, 2))
  local want = lengths[t]
  if want == nil then
    root:add_proto_expert_info(e_type)
    pinfo.cols.info = "Unknown type " .. t
    return
  end
  if tvb:len() ~= want then
    root:add_proto_expert_info(e_length, "Wrong length: " .. tvb:len() .. " bytes, expected " .. want)
    pinfo.cols.info = types[t] .. " (wrong length)"
    return
  end
  if t == 0 then
    local b = root:add(f.battery, tvb(2, 1))
    if tvb(2, 1):uint() > 100 then b:add_proto_expert_info(e_range) end
    local c = root:add(f.charging, tvb(3, 1))
    if tvb(3, 1):uint() > 2 then c:add_proto_expert_info(e_range) end
    pinfo.cols.info = string.format("Status: battery %d %%, charging %s", tvb(2, 1):uint(),
                                    charging_states[tvb(3, 1):uint()] or "invalid")
  elseif t == 1 then
    root:add(f.major, tvb(2, 1))
    root:add(f.minor, tvb(3, 1))
    root:add(f.patch, tvb(4, 2))
    pinfo.cols.info = string.format("Version %d.%d.%d", tvb(2, 1):uint(), tvb(3, 1):uint(),
                                    tvb(4, 2):uint())
  else
    root:add(f.serial, tvb(2, 11))
    root:add(f.uuid, tvb(13, 16))
    pinfo.cols.info = "Identity " .. tvb(2, 11):stringz()
  end
end

DissectorTable.get("udp.port"):add(2013, proto)
