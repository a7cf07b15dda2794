-- Wireshark dissector for ZovNet's message framing.
--
-- Every message is a 2-byte big-endian length that counts the whole message (3 to 65535), a
-- type byte, then the content. Over TCP messages follow each other back to back; over UDP one
-- datagram carries one message. The content has no tags: it is shown as bytes.
--
-- Use:  tshark -X lua_script:zovnet.lua -o zovnet.tcp_ports:9000 -o zovnet.udp_ports:9000 ...
-- or copy this file into the personal Lua plugins folder (Help > About Wireshark > Folders) and
-- set the ports under Edit > Preferences > Protocols > ZOVNET.
--
-- A length field below 3 is marked as an error and, as the library's receiver does, costs its
-- two bytes: the next message is looked for behind them.

local DEFAULT_PORTS = "7700"
local HEADER = 3

local zovnet = Proto("zovnet", "ZovNet framed message")

local f = {
    length = ProtoField.uint16("zovnet.length", "Length", base.DEC, nil, nil,
                               "Length of the whole message, header included"),
    type = ProtoField.uint8("zovnet.type", "Type", base.DEC),
    content = ProtoField.bytes("zovnet.content", "Content", base.SPACE),
    trailing = ProtoField.bytes("zovnet.trailing", "Bytes after the message", base.SPACE),
}
zovnet.fields = { f.length, f.type, f.content, f.trailing }

local ex = {
    short_length = ProtoExpert.new("zovnet.length_below_3", "Length field below 3",
                                   expert.group.MALFORMED, expert.severity.ERROR),
    cut_short = ProtoExpert.new("zovnet.cut_short", "Message extends beyond the data",
                                expert.group.MALFORMED, expert.severity.ERROR),
    no_length = ProtoExpert.new("zovnet.no_length", "No room for a length field",
                                expert.group.MALFORMED, expert.severity.ERROR),
    trailing = ProtoExpert.new("zovnet.trailing_bytes", "Bytes after the message in the datagram",
                               expert.group.MALFORMED, expert.severity.ERROR),
}
zovnet.experts = { ex.short_length, ex.cut_short, ex.no_length, ex.trailing }

zovnet.prefs.tcp_ports = Pref.range("TCP ports", DEFAULT_PORTS,
                                    "TCP ports whose streams carry ZovNet messages", 65535)
zovnet.prefs.udp_ports = Pref.range("UDP ports", DEFAULT_PORTS,
                                    "UDP ports whose datagrams carry ZovNet messages", 65535)

-- pinfo.port_type of a UDP packet.
local PT_UDP = 3

local function add_info(pinfo, text)
    local info = tostring(pinfo.cols.info)
    if info:find("^ZovNet") then
        pinfo.cols.info:append(", " .. text)
    else
        pinfo.cols.info:set("ZovNet " .. text)
    end
end

-- One whole message of `len` bytes at `offset`.
local function add_message(tvb, tree, offset, len)
    local msgtype = tvb(offset + 2, 1):uint()
    local item = tree:add(zovnet, tvb(offset, len))
    item:append_text(string.format(", Length %d, Type %d", len, msgtype))
    item:add(f.length, tvb(offset, 2))
    item:add(f.type, tvb(offset + 2, 1))
    if len > HEADER then
        item:add(f.content, tvb(offset + HEADER, len - HEADER))
    end
    return msgtype
end

-- A message whose length field says more than there is.
local function add_cut(tvb, tree, pinfo, offset, field)
    local have = tvb:len() - offset
    local item = tree:add(zovnet, tvb(offset, have))
    item:append_text(string.format(", Length %d, only %d bytes", field, have))
    item:add(f.length, tvb(offset, 2))
    if have >= HEADER then
        item:add(f.type, tvb(offset + 2, 1))
    end
    if have > HEADER then
        item:add(f.content, tvb(offset + HEADER, have - HEADER))
    end
    item:add_proto_expert_info(ex.cut_short, string.format(
        "Length field %d, but only %d bytes are there", field, have))
    add_info(pinfo, string.format("cut short (length %d, %d bytes)", field, have))
end

local function add_short_length(tvb, tree, pinfo, offset, field)
    local item = tree:add(zovnet, tvb(offset, 2))
    item:append_text(string.format(", Length %d (malformed)", field))
    item:add(f.length, tvb(offset, 2))
    item:add_proto_expert_info(ex.short_length, string.format(
        "Length field %d is below 3; a receiver skips its 2 bytes", field))
    add_info(pinfo, string.format("malformed (length %d)", field))
end

local function add_no_length(tvb, tree, pinfo, offset)
    local item = tree:add(zovnet, tvb(offset, tvb:len() - offset))
    item:add_proto_expert_info(ex.no_length, "One byte: no room for a length field")
    add_info(pinfo, "cut short (1 byte)")
end

local function dissect_datagram(tvb, pinfo, tree)
    local n = tvb:len()
    if n < 2 then
        add_no_length(tvb, tree, pinfo, 0)
        return n
    end
    local field = tvb(0, 2):uint()
    if field < HEADER then
        add_short_length(tvb, tree, pinfo, 0, field)
        return n
    end
    if field > n then
        add_cut(tvb, tree, pinfo, 0, field)
        return n
    end
    local msgtype = add_message(tvb, tree, 0, field)
    add_info(pinfo, string.format("type %d (%d bytes)", msgtype, field))
    if field < n then
        local item = tree:add(f.trailing, tvb(field, n - field))
        item:add_proto_expert_info(ex.trailing, string.format(
            "%d byte%s after the message", n - field, n - field == 1 and "" or "s"))
    end
    return n
end

-- Messages back to back in a TCP segment; a message that goes on in later segments is asked for
-- whole from TCP's reassembly.
local function dissect_stream(tvb, pinfo, tree)
    local n = tvb:len()
    local offset = 0
    while offset < n do
        local have = n - offset
        if have < 2 then
            if pinfo.can_desegment > 0 then
                pinfo.desegment_offset = offset
                pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
                return n
            end
            add_no_length(tvb, tree, pinfo, offset)
            return n
        end
        local field = tvb(offset, 2):uint()
        if field < HEADER then
            add_short_length(tvb, tree, pinfo, offset, field)
            offset = offset + 2
        elseif field > have then
            if pinfo.can_desegment > 0 then
                pinfo.desegment_offset = offset
                pinfo.desegment_len = field - have
                return n
            end
            add_cut(tvb, tree, pinfo, offset, field)
            return n
        else
            local msgtype = add_message(tvb, tree, offset, field)
            add_info(pinfo, string.format("type %d (%d bytes)", msgtype, field))
            offset = offset + field
        end
    end
    return n
end

function zovnet.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "ZOVNET"
    if pinfo.port_type == PT_UDP then
        return dissect_datagram(tvb, pinfo, tree)
    end
    return dissect_stream(tvb, pinfo, tree)
end

-- The ports in use; a change of the preferences moves the registrations.
local registered = { tcp = "", udp = "" }

local function register(table_name, key, ports)
    local dt = DissectorTable.get(table_name)
    if registered[key] ~= "" then
        dt:remove(registered[key], zovnet)
    end
    if ports ~= "" then
        dt:add(ports, zovnet)
    end
    registered[key] = ports
end

local function apply_prefs()
    register("tcp.port", "tcp", tostring(zovnet.prefs.tcp_ports))
    register("udp.port", "udp", tostring(zovnet.prefs.udp_ports))
end

zovnet.prefs_changed = apply_prefs
apply_prefs()
