// The HTTPS section of the settings page (one request per process, no state).
//
//   https_submit, https  female: plain HTTP sends the browser to HTTPS; male: it serves the pages too
//                        (/mnt/https.ini 1 or 0). The web server takes it at its next start.
//   cert_submit, cert_file, key_file (uploaded files, multipart)
//                        the box's certificate and its key in place of the stored pair
//                        (/mnt/web/cert.pem, key.pem, and the certificate's names in /mnt/web/names),
//                        once checked (web/settings/certificate.h); the web server takes it at its next
//                        start. A refusal prints one line and changes nothing. The key is never echoed
//                        and is written readable to the web server's group only.
#pragma once

void HttpsForm_action();
