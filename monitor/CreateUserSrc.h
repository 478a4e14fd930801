// The Create User dialog: asks the account server for a new account. Its
// edits keep their texts after it closes; the Options dialog takes the user
// name and password from them.
#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace tov {

class TCreateUser : public QDialog {
 public:
  TCreateUser();
  ~TCreateUser() override;

  // Sends the "adduser" request built from the three edits, whatever it
  // answers, then closes.
  void CreateClick();
  void CancelClick();

  QLineEdit* username;
  QLineEdit* email;
  QLineEdit* password;
  QPushButton* Create;
  QPushButton* Cancel;
};

// The one Create User dialog, from its construction to its destruction.
extern TCreateUser* CreateUser;

}  // namespace tov
