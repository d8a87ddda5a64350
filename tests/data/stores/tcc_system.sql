-- The system's permissions: the first repeats one of the user's.
INSERT INTO access (service, client, client_type, auth_value, auth_reason, auth_version) VALUES
  ('kTCCServiceCamera', 'com.example.cam', 0, 2, 2, 1),
  ('kTCCServiceScreenCapture', 'com.example.rec', 0, 2, 2, 1),
  ('kTCCServiceLocation', 'com.example.loc', 0, 2, 2, 1);
