// A mail server with Gmail's IMAP extensions for the tests, on 127.0.0.1:
//   node hoodiecrow_server.js ROOT PORT USER PASSWORD [CERT KEY]
// ROOT is where npm installed hoodiecrow-imap (scripts/install-deps: build/hoodiecrow). Its
// mail is kept in memory only; with CERT and KEY it speaks TLS from the first byte.
"use strict";
const fs = require("fs");
const path = require("path");
const [root, port, user, password, cert, key] = process.argv.slice(2);
const hoodiecrow = require(path.join(root, "node_modules", "hoodiecrow-imap"));

const options = {
    // ENABLE first: CONDSTORE registers itself with it.
    plugins: ["ID", "ENABLE", "CONDSTORE", "UIDPLUS", "MOVE", "LITERALPLUS", "SPECIAL-USE", "X-GM-EXT-1",
              "SASL-IR", "AUTH-PLAIN", "XOAUTH2", "NAMESPACE", "UNSELECT", "IDLE",
              // Its X-GM-EXT-1 plugin serves labels without naming itself, as Gmail does.
              (server) => server.registerCapability("X-GM-EXT-1")],
    // The bearer token it takes is the password with "token:" before it.
    users: {[user]: {password: password, xoauth2: {accessToken: "token:" + password}}},
    storage: {
        "INBOX": {},
        "": {
            separator: "/",
            folders: {
                "[Gmail]": {
                    flags: ["\\Noselect"],
                    folders: {
                        "All Mail": {"special-use": "\\All"},
                        "Drafts": {"special-use": "\\Drafts"},
                        "Important": {"special-use": "\\Important"},
                        "Sent Mail": {"special-use": "\\Sent"},
                        "Spam": {"special-use": "\\Junk"},
                        "Starred": {"special-use": "\\Flagged"},
                        "Trash": {"special-use": "\\Trash"},
                    },
                },
            },
        },
    },
};
if (cert) {
    options.secureConnection = true;
    options.credentials = {cert: fs.readFileSync(cert), key: fs.readFileSync(key)};
}
// Its Buffer() calls are deprecated, which Node says once on standard error: not ours to mend.
process.noDeprecation = true;
const server = hoodiecrow(options);
server.listen(Number(port), "127.0.0.1", () => console.log("listening on 127.0.0.1:%s", port));
process.on("SIGTERM", () => process.exit(0));
