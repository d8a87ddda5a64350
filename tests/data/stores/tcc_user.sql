-- The user's permissions: a service that is not listed (location), one no
-- case names, a client without an application.
INSERT INTO access (service, client, client_type, auth_value, auth_reason, auth_version) VALUES
  ('kTCCServiceCamera', 'com.example.cam', 0, 2, 2, 1),
  ('kTCCServiceMicrophone', 'com.example.cam', 0, 2, 2, 1),
  ('kTCCServiceLocation', 'com.example.cam', 0, 2, 2, 1),
  ('kTCCServiceBogus', 'com.example.cam', 0, 2, 2, 1),
  ('kTCCServiceCamera', 'com.example.missing', 0, 2, 2, 1);
